#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "app/service_host.h"

namespace lattice {
namespace {

std::shared_ptr<const ArgsCollector> Args(std::vector<std::wstring> words) {
  return std::make_shared<const ArgsCollector>(static_cast<int>(words.size()), words);
}

TEST(ServiceCommandLine, CarriesThePortOnlyWhenMinusPHasExactlyOneValue) {
  const std::wstring path = L"C:\\Program Files\\Corvane\\corvane-lattice-tracker.exe";
  const std::wstring quoted = L"\"" + path + L"\" -s";
  struct Case {
    std::vector<std::wstring> words;
    std::wstring expected;
  } cases[] = {
      {{L"x", L"-sr"}, quoted},
      {{L"x", L"-sr", L"-p", L"4000"}, quoted + L" -p 4000"},
      {{L"x", L"-p", L"4000", L"-sr"}, quoted + L" -p 4000"},
      {{L"x", L"-sr", L"-p", L"4000", L"5000"}, quoted},
      {{L"x", L"-sr", L"-p"}, quoted},
      {{L"x", L"-p", L"4000", L"-p", L"5000", L"-sr"}, quoted + L" -p 4000"},
  };
  for (const Case& c : cases) EXPECT_EQ(ServiceCommandLine(path, *Args(c.words)), c.expected);
}

std::vector<std::wstring> Lines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  std::wistringstream in(text);
  for (std::wstring line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Has(const std::vector<std::wstring>& lines, const std::wstring& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(SystemdUnit, RunsTheCommandLineAsANotifyServiceThatRestartsAfterFailures) {
  const std::vector<std::wstring> lines = Lines(SystemdUnitText(L"\"/opt/lattice/corvane-lattice-tracker\" -s -p 4000"));
  EXPECT_TRUE(Has(lines, L"ExecStart=\"/opt/lattice/corvane-lattice-tracker\" -s -p 4000"));
  for (const wchar_t* expected : {L"[Service]", L"Type=notify", L"Restart=on-failure", L"RestartSec=60",
                                  L"DynamicUser=yes", L"LimitNOFILE=1048576", L"[Install]", L"WantedBy=multi-user.target"})
    EXPECT_TRUE(Has(lines, expected)) << expected;
  // Every setting sits after its section header.
  auto at = [&](const std::wstring& l) { return std::find(lines.begin(), lines.end(), l) - lines.begin(); };
  EXPECT_LT(at(L"[Service]"), at(L"Type=notify"));
  EXPECT_LT(at(L"RestartSec=60"), at(L"[Install]"));

  // Specifier, variable and escape characters in a path reach the program as they are.
  EXPECT_TRUE(Has(Lines(SystemdUnitText(L"\"/srv/50%$off\\x/t\" -s")), L"ExecStart=\"/srv/50%%$$off\\\\x/t\" -s"));
}

struct Calls {
  static inline bool elevated = true;
  static inline bool result = true;
  static inline std::vector<std::wstring> log;
  static bool IsElevated() { return elevated; }
  static void Refuse(const wchar_t* text, const wchar_t* caption) {
    log.push_back(std::wstring(L"refuse:") + text + L"|" + caption);
  }
  static bool Install(std::shared_ptr<const ArgsCollector> args) {
    log.push_back(L"install:" + args->Get(L"p").back());
    return result;
  }
  static bool Remove() {
    log.push_back(L"remove");
    return result;
  }
};

int Command(std::vector<std::wstring> words, bool elevated, bool result) {
  Calls::elevated = elevated;
  Calls::result = result;
  Calls::log.clear();
  return RunServiceCommand(Args(std::move(words)),
                           {Calls::IsElevated, Calls::Refuse, Calls::Install, Calls::Remove});
}

TEST(ServiceCommand, RefusesWithoutElevationAndMapsResultsToExitCodes) {
  EXPECT_EQ(Command({L"x", L"-sr", L"-p", L"7"}, false, true), 5);
  EXPECT_EQ(Calls::log, std::vector<std::wstring>{
                            L"refuse:Not enough privileges to perform this operation.|Corvane Lattice Tracker"});
  EXPECT_EQ(Command({L"x", L"-sd"}, false, true), 5);
  EXPECT_EQ(Calls::log.size(), 1u);

  EXPECT_EQ(Command({L"x", L"-sr", L"-p", L"7"}, true, true), 0);
  EXPECT_EQ(Calls::log, std::vector<std::wstring>{L"install:7"});
  EXPECT_EQ(Command({L"x", L"-sr", L"-p", L"7"}, true, false), 1);
  EXPECT_EQ(Command({L"x", L"-sd"}, true, true), 0);
  EXPECT_EQ(Calls::log, std::vector<std::wstring>{L"remove"});
  EXPECT_EQ(Command({L"x", L"-sd"}, true, false), 1);
  // -sr wins over -sd.
  EXPECT_EQ(Command({L"x", L"-sd", L"-sr", L"-p", L"8"}, true, true), 0);
  EXPECT_EQ(Calls::log, std::vector<std::wstring>{L"install:8"});
}

}  // namespace
}  // namespace lattice

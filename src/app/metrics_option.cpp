#include "app/metrics_option.h"

#include "log/log.h"
#include "net/metrics_server.h"

namespace lattice {
namespace {

bool IsPort(const std::wstring& text) {
  if (text.empty() || text.size() > 5) return false;
  long value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + (c - L'0');
  }
  return value >= 1 && value <= 65535;
}

// For log lines: the option is ASCII in practice.
std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c > 0 && c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

}  // namespace

bool ParseMetricsAddress(const std::wstring& text, MetricsAddress& out) {
  if (text.find(L':') == std::wstring::npos) {
    out = {L"127.0.0.1", text};
    return IsPort(text);
  }
  if (!text.empty() && text[0] == L'[') {
    const std::size_t close = text.find(L"]:");
    if (close == std::wstring::npos || close < 2) return false;
    out = {text.substr(1, close - 1), text.substr(close + 2)};
    return IsPort(out.port);
  }
  // Without brackets an IPv6 address's colons would hide where the port is.
  const std::size_t colon = text.find(L':');
  if (colon == 0 || text.find(L':', colon + 1) != std::wstring::npos) return false;
  out = {text.substr(0, colon), text.substr(colon + 1)};
  return IsPort(out.port);
}

platform::SocketHandle OpenMetricsOption(const ArgsCollector& args, std::string& url) {
  const std::vector<std::wstring> words = args.Get(L"metrics");
  if (words.empty()) return platform::kInvalidSocket;
  const std::wstring text = words.size() >= 2 ? words[1] : L"";
  MetricsAddress address;
  if (!ParseMetricsAddress(text, address)) {
    Log("metrics: '%s' is not ADDRESS:PORT, [ADDRESS]:PORT or PORT; running without metrics", Narrow(text).c_str());
    return platform::kInvalidSocket;
  }
  std::string errorText;
  const platform::SocketHandle h = OpenMetricsListener(address.host, address.port, errorText);
  if (h == platform::kInvalidSocket) {
    Log("metrics: cannot listen on %s: %s; running without metrics", Narrow(text).c_str(), errorText.c_str());
    return h;
  }
  const bool bracketed = address.host.find(L':') != std::wstring::npos;
  url = "http://" + std::string(bracketed ? "[" : "") + Narrow(address.host) + (bracketed ? "]:" : ":") +
        Narrow(address.port) + "/metrics";
  return h;
}

}  // namespace lattice

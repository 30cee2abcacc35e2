// The program's entry point on POSIX systems: argv stands in for the
// command line that the Windows build reads and splits itself.
#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/app_main.h"

namespace {

std::wstring Widen(const char* text) {
  std::wstring out;
  std::mbstate_t state{};
  const char* p = text;
  std::size_t n = std::mbsrtowcs(nullptr, &p, 0, &state);
  if (n == static_cast<std::size_t>(-1)) {
    for (; *text != '\0'; ++text) out.push_back(static_cast<unsigned char>(*text));
    return out;
  }
  out.resize(n);
  p = text;
  state = std::mbstate_t{};
  std::mbsrtowcs(out.data(), &p, n, &state);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");
  std::vector<std::wstring> words;
  for (int i = 0; i < argc; ++i) words.push_back(Widen(argv[i]));
  return lattice::AppMain(words);
}

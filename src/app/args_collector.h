// The command-line options: option name to the list of its words.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace lattice {

class ArgsCollector {
 public:
  // Element 0 of each list is the option's own name; its values follow. The
  // first occurrence of a repeated option wins.
  ArgsCollector(int count, const std::vector<std::wstring>& words);

  // A copy of the option's list; empty when the option was not given.
  std::vector<std::wstring> Get(const std::wstring& name) const;

 private:
  std::map<std::wstring, std::vector<std::wstring>> options;
};

// Splits a command line into words: quotes group, nothing is unescaped.
std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine);

// Base-10 conversion as the C runtime does it for options: leading white
// space and a sign accepted, stops at the first non-digit, clamps to 32 bits.
std::int32_t ParseOptionInteger(const std::wstring& text);

}  // namespace lattice

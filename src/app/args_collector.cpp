#include "app/args_collector.h"

#include <cstdint>
#include <cwctype>
#include <limits>

namespace lattice {

ArgsCollector::ArgsCollector(int count, const std::vector<std::wstring>& words) {
  std::wstring current;
  std::vector<std::wstring> list;
  auto store = [&] {
    if (!current.empty()) options.emplace(current, list);  // emplace keeps an earlier entry
  };
  for (int i = 0; i < count && i < static_cast<int>(words.size()); ++i) {
    const std::wstring& word = words[static_cast<std::size_t>(i)];
    if (!word.empty() && word[0] == L'-') {
      store();
      list.clear();
      current = word.substr(1);
      list.push_back(current);
    } else if (!current.empty()) {
      list.push_back(word);
    }
  }
  store();
}

std::vector<std::wstring> ArgsCollector::Get(const std::wstring& name) const {
  auto it = options.find(name);
  return it == options.end() ? std::vector<std::wstring>{} : it->second;
}

std::vector<std::wstring> SplitCommandLine(const std::wstring& text) {
  std::vector<std::wstring> words;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (true) {
    while (i < n && (text[i] == L' ' || text[i] == L'\t')) ++i;
    if (i >= n) break;
    std::size_t start;
    std::size_t end;
    if (text[i] == L'"') {
      start = ++i;
      // A backslash keeps the quote after it inside the word.
      while (i < n && !(text[i] == L'"' && (i == start || text[i - 1] != L'\\'))) ++i;
      end = i;
    } else {
      start = i;
      while (i < n && text[i] != L' ' && text[i] != L'\t') ++i;
      end = i;
    }
    words.push_back(text.substr(start, end - start));
    if (i < n) ++i;  // the closing quote, space or tab
  }
  return words;
}

std::int32_t ParseOptionInteger(const std::wstring& text) {
  std::size_t i = 0;
  while (i < text.size() && std::iswspace(static_cast<wint_t>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  std::int64_t value = 0;
  constexpr std::int64_t kLimit = static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + (text[i] - L'0');
    if (value > kLimit) value = kLimit;  // saturate; the clamp below finishes it
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value);
}

}  // namespace lattice

#include "net/http_request.h"

namespace lattice {
namespace {

// RFC 9110 token characters, for methods and header names.
bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!IsTokenChar(c)) return false;
  return true;
}

// Visible ASCII, as a request target is made of.
bool IsVisible(std::string_view text) {
  for (char c : text)
    if (c <= ' ' || c >= 0x7F) return false;
  return true;
}

bool ParseRequestLine(std::string_view line, RequestHead& out) {
  const std::size_t first = line.find(' ');
  if (first == std::string_view::npos) return false;
  const std::size_t second = line.find(' ', first + 1);
  if (second == std::string_view::npos) return false;
  std::string_view method = line.substr(0, first);
  std::string_view target = line.substr(first + 1, second - first - 1);
  std::string_view version = line.substr(second + 1);
  if (!IsToken(method) || target.empty() || !IsVisible(target)) return false;
  if (version.size() != 8 || version.substr(0, 7) != "HTTP/1." || version[7] < '0' || version[7] > '9') return false;
  // The absolute form names the host too; only its path matters here.
  for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
    if (target.substr(0, scheme.size()) == scheme) {
      const std::size_t slash = target.find('/', scheme.size());
      target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
    }
  }
  if (target[0] != '/') return false;
  out.method = method;
  out.path = target.substr(0, target.find('?'));
  return true;
}

bool IsHeaderLine(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) return false;
  for (char c : line.substr(colon + 1))
    if ((c < ' ' && c != '\t') || c == 0x7F) return false;
  return true;
}

}  // namespace

HeadStatus ParseRequestHead(std::string_view bytes, RequestHead& out) {
  const std::size_t end = bytes.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    // Bytes that no request line can hold (a tracker client on the wrong
    // port, say) need not wait for the rest of a head.
    std::string_view firstLine = bytes.substr(0, bytes.find("\r\n"));
    for (char c : firstLine)
      if ((c < ' ' && c != '\r') || c == 0x7F) return HeadStatus::Malformed;
    return HeadStatus::Incomplete;
  }
  std::string_view head = bytes.substr(0, end + 2);
  std::size_t lineEnd = head.find("\r\n");
  if (!ParseRequestLine(head.substr(0, lineEnd), out)) return HeadStatus::Malformed;
  while (lineEnd + 2 < head.size()) {
    const std::size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    if (!IsHeaderLine(head.substr(start, lineEnd - start))) return HeadStatus::Malformed;
  }
  return HeadStatus::Complete;
}

}  // namespace lattice

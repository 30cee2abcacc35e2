// The head of one HTTP/1.x request: as much as the metrics endpoint needs.
#pragma once

#include <string_view>

namespace lattice {

enum class HeadStatus { Incomplete, Complete, Malformed };

struct RequestHead {
  std::string_view method;
  // The target's path, its query left out.
  std::string_view path;
};

// Reads a head that ends with an empty line (CR LF line ends). A head whose
// request line or header lines break the syntax is Malformed, as soon as
// the bytes so far show it; the views point into bytes.
HeadStatus ParseRequestHead(std::string_view bytes, RequestHead& out);

}  // namespace lattice

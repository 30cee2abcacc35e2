#include "cluster/slot_map.h"

#include <hiredis/hiredis.h>

#include <charconv>

#include "cluster/key_slot.h"

namespace lattice::cluster {
namespace {

template <typename Number>
bool ParseNumber(std::string_view text, Number& out) {
  const char* end = text.data() + text.size();
  auto [at, error] = std::from_chars(text.data(), end, out);
  return error == std::errc() && at == end && !text.empty();
}

bool PortOf(long long value, std::uint16_t& port) {
  if (value <= 0 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

bool ParseClusterSlots(const redisReply& reply, const std::string& askedHost, std::vector<SlotRange>& out) {
  if (reply.type != REDIS_REPLY_ARRAY) return false;
  out.clear();
  for (std::size_t i = 0; i < reply.elements; ++i) {
    const redisReply& range = *reply.element[i];
    if (range.type != REDIS_REPLY_ARRAY || range.elements < 3) return false;
    const redisReply& first = *range.element[0];
    const redisReply& last = *range.element[1];
    const redisReply& primary = *range.element[2];
    if (first.type != REDIS_REPLY_INTEGER || last.type != REDIS_REPLY_INTEGER || first.integer < 0 ||
        last.integer < first.integer || last.integer >= kSlotCount)
      return false;
    if (primary.type != REDIS_REPLY_ARRAY || primary.elements < 2 || primary.element[0]->type != REDIS_REPLY_STRING ||
        primary.element[1]->type != REDIS_REPLY_INTEGER)
      return false;
    SlotRange r;
    r.first = static_cast<std::uint16_t>(first.integer);
    r.last = static_cast<std::uint16_t>(last.integer);
    r.host.assign(primary.element[0]->str, primary.element[0]->len);
    if (r.host.empty() || r.host == "?") r.host = askedHost;
    if (!PortOf(primary.element[1]->integer, r.port)) return false;
    out.push_back(std::move(r));
  }
  return true;
}

bool ParseRedirect(std::string_view error, Redirect& out) {
  if (error.starts_with("MOVED ")) {
    out.ask = false;
    error.remove_prefix(6);
  } else if (error.starts_with("ASK ")) {
    out.ask = true;
    error.remove_prefix(4);
  } else {
    return false;
  }
  const std::size_t space = error.find(' ');
  const std::size_t colon = error.rfind(':');
  if (space == std::string_view::npos || colon == std::string_view::npos || colon < space) return false;
  unsigned slot = 0;
  long long port = 0;
  if (!ParseNumber(error.substr(0, space), slot) || slot >= kSlotCount) return false;
  if (!ParseNumber(error.substr(colon + 1), port) || !PortOf(port, out.port)) return false;
  out.slot = static_cast<std::uint16_t>(slot);
  out.host.assign(error.substr(space + 1, colon - space - 1));
  return !out.host.empty();
}

}  // namespace lattice::cluster

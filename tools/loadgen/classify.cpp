#include "classify.h"

namespace loadgen {
namespace {

bool CountFits(const Layout& layout, const Outstanding& head, std::uint32_t count) {
  if (head.expect == Expect::Nobody) return count == 0;
  std::uint32_t members = layout.ShareMembers(head.share);
  if (members <= kMaxListed) return count == members - 1;
  // Fifteen distinct draws, less the requester when it was drawn.
  return count == kMaxListed || count == kMaxListed - 1;
}

}  // namespace

Classification Classify(const Layout& layout, std::uint32_t nonce, std::uint32_t c, const Outstanding* head,
                        const PeersMessage& message) {
  std::uint32_t share;
  if (!DecodeShareId(nonce, message.share, message.shareLength, &share) || share >= layout.ShareCount())
    return {Verdict::Malformed, 0};
  if (message.count > kMaxListed) return {Verdict::Unexpected, 0};

  std::uint32_t peers[kMaxListed];
  for (std::uint32_t i = 0; i < message.count; ++i) {
    if (!DecodePeerId(nonce, message.ids[i], &peers[i]) || peers[i] >= layout.TotalPeers())
      return {Verdict::Malformed, 0};
    // Every listed peer must belong to the share the message names.
    if (layout.ShareOf(peers[i]) != share) return {Verdict::Unexpected, 0};
  }

  if (head != nullptr && head->share == share && CountFits(layout, *head, message.count)) {
    bool valid = true;
    for (std::uint32_t i = 0; i < message.count && valid; ++i) {
      if (peers[i] == head->peer) valid = false;
      for (std::uint32_t j = 0; j < i && valid; ++j)
        if (peers[j] == peers[i]) valid = false;
    }
    if (valid) return {Verdict::Reply, message.count};
  }
  if (message.count == 1 && layout.CarriesOtherMember(c, share, peers[0])) return {Verdict::Introduction, 0};
  return {Verdict::Unexpected, 0};
}

}  // namespace loadgen

// UTF-8 well-formedness as RFC 3629 defines it (its table of byte ranges).
#include "utf8.h"

namespace qvcommon {

std::size_t Utf8CharacterLength(std::string_view text, std::size_t at) noexcept {
  if (at >= text.size()) return 0;
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  const std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
  if (length == 0 || text.size() - at < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((static_cast<unsigned char>(text[at + k]) & 0xC0) != 0x80) return 0;
  }
  // The second byte's range narrows after the leads that could otherwise
  // spell an overlong form, a surrogate or a value past U+10FFFF.
  const auto second = static_cast<unsigned char>(text[at + 1]);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90)) {
    return 0;
  }
  return length;
}

}  // namespace qvcommon

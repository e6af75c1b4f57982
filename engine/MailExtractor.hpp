#pragma once

#include <cstddef>
#include <string>

#include "engine/MemberWriter.hpp"
#include "platform/DescriptorStream.hpp"

namespace norvid {

// Opens e-mail with GMime: an RFC 822 message or an mbox of them. Every part with a body
// (attachments and inline parts, decoded from base64, quoted-printable or uuencode) becomes a
// member; an attached message becomes one member of its own (".eml"), to be opened as a container
// one level deeper. A uuencoded block inside a plain body ("begin 644 name") is a member too.
class MailExtractor {
 public:
  // "mbox" when the head starts with an mbox "From " line followed by header lines, "mail" when it
  // starts with header lines of a message, otherwise empty. Both need at least two well-known
  // header fields, so that ordinary "key: value" text is not taken for mail.
  static std::string recognise(const unsigned char* head, std::size_t size);

  // Writes the members of the message (or of every message of the mbox) read from `input`.
  // Throws std::runtime_error when no message can be read, and what `writer` throws.
  static void extract(const platform::DescriptorStream& input, bool mbox, MemberWriter& writer);
};

}  // namespace norvid

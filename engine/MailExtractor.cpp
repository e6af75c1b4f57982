#include "engine/MailExtractor.hpp"

#include <gmime/gmime.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/GObjectRef.hpp"

namespace norvid {
namespace {

// Multiparts nested deeper than this are not walked further.
constexpr int kMaxPartDepth = 64;
// A "begin" line of a uuencoded block is short; longer lines are not kept whole.
constexpr std::size_t kMaxBeginLine = 1024;

void initialiseGmime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

bool isKnownHeader(std::string_view field) {
  static constexpr std::array<std::string_view, 16> kKnown = {
      "from",         "to",         "cc",           "subject",   "date",   "received",
      "return-path",  "message-id", "mime-version", "reply-to",  "sender", "delivered-to",
      "content-type", "x-mailer",   "in-reply-to",  "references"};
  std::string lower(field);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return std::find(kKnown.begin(), kKnown.end(), lower) != kKnown.end();
}

// The name of the header field that `line` starts, or empty when it is no header field.
std::string_view fieldName(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos || colon > 76) return {};
  for (std::size_t i = 0; i < colon; ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c < 33 || c > 126) return {};
  }
  return line.substr(0, colon);
}

// The file name of a uuencoded block's "begin <mode> <name>" line, or empty when `line` is none.
std::string uuencodedName(std::string_view line) {
  if (line.substr(0, 6) != "begin ") return {};
  std::size_t at = 6;
  const std::size_t modeStart = at;
  while (at < line.size() && line[at] >= '0' && line[at] <= '7') ++at;
  if (at - modeStart < 3 || at - modeStart > 4 || at >= line.size() || line[at] != ' ') return {};
  std::string name(line.substr(at + 1));
  while (!name.empty() && (name.back() == '\r' || name.back() == ' ')) name.pop_back();
  return name;
}

// The last element of an attachment's file name, whichever separator the sender used.
std::string baseName(const char* name) {
  if (name == nullptr) return {};
  std::string text(name);
  const std::size_t slash = text.find_last_of("/\\");
  return slash == std::string::npos ? text : text.substr(slash + 1);
}

class PartWalker {
 public:
  explicit PartWalker(MemberWriter& writer) : writer_(writer) {}

  void walk(GMimeObject* object, int depth) {
    if (object == nullptr || depth > kMaxPartDepth) return;
    if (GMIME_IS_MULTIPART(object)) {
      GMimeMultipart* multipart = GMIME_MULTIPART(object);
      const int count = g_mime_multipart_get_count(multipart);
      for (int index = 0; index < count; ++index) {
        walk(g_mime_multipart_get_part(multipart, index), depth + 1);
      }
    } else if (GMIME_IS_MESSAGE_PART(object)) {
      GMimeMessage* message = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
      if (message == nullptr) return;
      const std::string name = "message" + std::to_string(++parts_) + ".eml";
      writeMember(name, [&](GMimeStream* out) {
        return g_mime_object_write_to_stream(GMIME_OBJECT(message), nullptr, out);
      });
    } else if (GMIME_IS_PART(object)) {
      GMimePart* part = GMIME_PART(object);
      GMimeDataWrapper* content = g_mime_part_get_content(part);
      std::string name = baseName(g_mime_part_get_filename(part));
      ++parts_;
      if (name.empty()) name = "part" + std::to_string(parts_);
      if (content == nullptr) return;
      writeMember(name, [&](GMimeStream* out) {
        return g_mime_data_wrapper_write_to_stream(content, out);
      });
      const GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
      if (encoding == GMIME_CONTENT_ENCODING_DEFAULT || encoding == GMIME_CONTENT_ENCODING_7BIT ||
          encoding == GMIME_CONTENT_ENCODING_8BIT || encoding == GMIME_CONTENT_ENCODING_BINARY) {
        writeInlineUuencoded(g_mime_data_wrapper_get_stream(content));
      }
    }
  }

 private:
  // Old mailers put uuencoded files straight into a plain body ("begin 644 name" ... "end"):
  // each such block becomes a member of its own, decoded.
  void writeInlineUuencoded(GMimeStream* body) {
    if (body == nullptr || g_mime_stream_reset(body) != 0) return;
    std::vector<std::pair<gint64, std::string>> blocks;
    std::string line;
    gint64 lineStart = 0;
    gint64 offset = 0;
    std::array<char, 4096> buffer{};
    for (;;) {
      const ssize_t count = g_mime_stream_read(body, buffer.data(), buffer.size());
      if (count <= 0) break;
      for (ssize_t i = 0; i < count; ++i, ++offset) {
        if (buffer[static_cast<std::size_t>(i)] != '\n') {
          if (line.size() < kMaxBeginLine) line += buffer[static_cast<std::size_t>(i)];
          continue;
        }
        if (std::string name = uuencodedName(line); !name.empty()) {
          blocks.emplace_back(lineStart, std::move(name));
        }
        line.clear();
        lineStart = offset + 1;
      }
    }
    for (const auto& [start, name] : blocks) {
      GObjectRef<GMimeStream> block(
          g_mime_stream_substream(body, body->bound_start + start, body->bound_end));
      GObjectRef<GMimeDataWrapper> decoder(
          g_mime_data_wrapper_new_with_stream(block.get(), GMIME_CONTENT_ENCODING_UUENCODE));
      const std::string member = baseName(name.c_str());
      ++parts_;
      writeMember(member.empty() ? "part" + std::to_string(parts_) : member, [&](GMimeStream* out) {
        return g_mime_data_wrapper_write_to_stream(decoder.get(), out);
      });
    }
  }

  // Lets GMime write one member straight into its file, bounded one byte past what the limits
  // allow so that a part that would pass them is caught without being written whole.
  template <typename Write>
  void writeMember(const std::string& name, Write write) {
    if (!writer_.begin(name)) return;
    const auto allowance =
        static_cast<gint64>(std::min<std::uint64_t>(writer_.allowance(), G_MAXINT64 - 1));
    GObjectRef<GMimeStream> out(
        g_mime_stream_fs_new_with_bounds(writer_.descriptor(), 0, allowance + 1));
    g_mime_stream_fs_set_owner(GMIME_STREAM_FS(out.get()), FALSE);
    write(out.get());
    g_mime_stream_flush(out.get());
    const gint64 written = g_mime_stream_tell(out.get());
    out.reset();
    writer_.wrote(written > 0 ? static_cast<std::uint64_t>(written) : 0);
    writer_.finish();
  }

  MemberWriter& writer_;
  int parts_ = 0;
};

}  // namespace

std::string MailExtractor::recognise(const unsigned char* head, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(head), size);
  std::size_t position = 0;
  bool mbox = false;
  if (text.substr(0, 5) == "From ") {
    mbox = true;
    position = text.find('\n');
    if (position == std::string_view::npos) return {};
    ++position;
  }
  int fields = 0;
  int known = 0;
  while (position < text.size()) {
    std::size_t end = text.find('\n', position);
    // A header block cut by the end of the head counts as far as it goes.
    if (end == std::string_view::npos) break;
    std::string_view line = text.substr(position, end - position);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    position = end + 1;
    if (line.empty()) break;
    if (line.front() == ' ' || line.front() == '\t') {
      if (fields == 0) return {};
      continue;
    }
    const std::string_view field = fieldName(line);
    if (field.empty()) return {};
    ++fields;
    if (isKnownHeader(field)) ++known;
  }
  if (known < 2) return {};
  return mbox ? "mbox" : "mail";
}

void MailExtractor::extract(const platform::DescriptorStream& input, bool mbox,
                            MemberWriter& writer) {
  initialiseGmime();
  GObjectRef<GMimeStream> stream(g_mime_stream_file_new_with_bounds(input.get(), 0, -1));
  g_mime_stream_file_set_owner(GMIME_STREAM_FILE(stream.get()), FALSE);
  GObjectRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  g_mime_parser_set_format(parser.get(), mbox ? GMIME_FORMAT_MBOX : GMIME_FORMAT_MESSAGE);

  PartWalker walker(writer);
  int messages = 0;
  do {
    GObjectRef<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    if (!message) break;
    ++messages;
    walker.walk(g_mime_message_get_mime_part(message.get()), 0);
  } while (mbox && !g_mime_parser_eos(parser.get()));
  if (messages == 0) throw std::runtime_error("Failed to open archive: no message found");
}

}  // namespace norvid

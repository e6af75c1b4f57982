#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace norvid {

// File hashes that make a file INFECTED, loaded from lists in the rule folders: `.hdb`, `.hsb`
// and `.hashes` files with one `HASH:SIZE:NAME` line per signature (HASH of 32, 40 or 64 hex
// digits for MD5, SHA-1 or SHA-256; SIZE in bytes or `*` for any size; fields after NAME are
// ignored) or a bare HASH (named `Hash.` and the list's file name without its extension). Blank
// lines and `#` comments are passed over; any other line that does not fit is counted and skipped.
//
// Signatures are kept per algorithm in sorted arrays of fixed-size entries ordered by size and
// digest, so a million take a few tens of MiB and a file's size alone tells which digests it
// needs: a file whose size no list names (and no `*` line covers) is never hashed, and a file
// that needs several algorithms is read once for all of them.
//
// Loading is not thread-safe; once finish() ran, match() may run from several threads at once.
class HashSignatures {
 public:
  // What one list gave.
  struct ListLoad {
    std::size_t loaded = 0;
    // Lines that fit no format.
    std::size_t malformed = 0;
    // Signatures for files larger than any file the scan reads, which can never match.
    std::size_t tooLarge = 0;
    // The list could not be read at all.
    bool unreadable = false;
  };

  // Reads up to `size` bytes at `offset`; gives how many were read, or -1 on a read error.
  using Reader =
      std::function<std::int64_t(std::uint64_t offset, unsigned char* buffer, std::size_t size)>;

  // `maxFileSize` is the largest file that will be matched; larger sizes are not kept.
  explicit HashSignatures(std::uint64_t maxFileSize);

  // Whether a file with this name is a hash list.
  static bool isListName(const std::string& fileName);

  // Adds the signatures of one list. Call finish() once all lists are added.
  ListLoad loadList(const std::string& path);

  // Sorts and de-duplicates what was loaded, and gives back the memory the loading left over.
  void finish();

  // The SHA-256 of the `size` bytes read through `read`, in lower-case hexadecimal; empty when
  // the content cannot be read whole.
  static std::string sha256Of(std::uint64_t size, const Reader& read);

  // Signatures held.
  std::size_t count() const;

  // Names of the signatures that the `size` bytes read through `read` match, each name once, in
  // the order the lists gave them. `complete` (when given) becomes false when a read failed.
  std::vector<std::string> match(std::uint64_t size, const Reader& read,
                                 bool* complete = nullptr) const;

 private:
  // Sizes are kept in 32 bits: files larger than that are never scanned.
  static constexpr std::uint32_t kAnySize = 0xFFFFFFFFu;

  template <std::size_t DigestBytes>
  struct Table {
    struct Entry {
      std::array<unsigned char, DigestBytes> digest;
      std::uint32_t size;
      // Offset of the name in the name pool.
      std::uint32_t name;
    };
    std::vector<Entry> entries;
    bool anySize = false;
    // Where the `*` entries start (they sort last, by digest).
    std::size_t anyBegin = 0;
    // For the `*` entries: anyIndex[p] is the first one whose digest starts with two bytes of
    // value p or more, so a lookup reads a handful of entries instead of searching all of them.
    std::vector<std::uint32_t> anyIndex;

    // Sorts, and drops repeated (hash, size, name) entries.
    void finish(const std::string& names);
    bool needs(std::uint32_t size) const;
    void collect(std::uint32_t size, const unsigned char* digest,
                 std::vector<std::uint32_t>& names) const;
  };

  bool addLine(const std::string& line, const std::string& bareName, ListLoad& load);
  std::uint32_t intern(const std::string& name);

  std::uint64_t maxFileSize_;
  Table<16> md5_;
  Table<20> sha1_;
  Table<32> sha256_;
  // Every name once after the other, each ended by a NUL.
  std::string names_;
  std::string lastName_;
  std::uint32_t lastNameOffset_ = 0;
};

}  // namespace norvid

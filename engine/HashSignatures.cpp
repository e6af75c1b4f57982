#include "engine/HashSignatures.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <fstream>
#include <memory>
#include <tuple>

#include "platform/Text.hpp"

namespace norvid {
namespace {

// Bytes read at once when a file is hashed.
constexpr std::size_t kReadBlock = 256 * 1024;

// Buckets of the `*` entries' index: one per value of a digest's first two bytes.
constexpr std::size_t kPrefixes = 65536;

std::size_t prefixOf(const unsigned char* digest) {
  return static_cast<std::size_t>(digest[0]) << 8 | digest[1];
}

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

// The digest written as `hex` (any case), when it is one of the three lengths.
bool parseDigest(const std::string& hex, std::array<unsigned char, 32>& digest,
                 std::size_t& length) {
  if (hex.size() != 32 && hex.size() != 40 && hex.size() != 64) return false;
  if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
  return OPENSSL_hexstr2buf_ex(digest.data(), digest.size(), &length, hex.c_str(), '\0') == 1 &&
         length == hex.size() / 2;
}

std::string stemOf(const std::string& path) {
  std::string name = path.substr(path.rfind('/') + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

}  // namespace

template <std::size_t DigestBytes>
void HashSignatures::Table<DigestBytes>::finish(const std::string& names) {
  auto key = [](const Entry& entry) { return std::tie(entry.size, entry.digest, entry.name); };
  std::sort(entries.begin(), entries.end(),
            [&](const Entry& a, const Entry& b) { return key(a) < key(b); });
  // A signature listed twice under one name is kept once; entries of one hash and size lie
  // together, so only those are compared.
  auto kept = entries.begin();
  for (auto group = entries.begin(); group != entries.end();) {
    auto groupEnd = std::find_if(group, entries.end(), [&](const Entry& entry) {
      return entry.size != group->size || entry.digest != group->digest;
    });
    const auto groupStart = kept;
    for (auto entry = group; entry != groupEnd; ++entry) {
      const bool repeated = std::any_of(groupStart, kept, [&](const Entry& earlier) {
        return std::strcmp(names.c_str() + earlier.name, names.c_str() + entry->name) == 0;
      });
      if (!repeated) *kept++ = *entry;
    }
    group = groupEnd;
  }
  entries.erase(kept, entries.end());
  entries.shrink_to_fit();
  anyBegin = static_cast<std::size_t>(
      std::lower_bound(entries.begin(), entries.end(), kAnySize,
                       [](const Entry& entry, std::uint32_t s) { return entry.size < s; }) -
      entries.begin());
  anySize = anyBegin < entries.size();
  anyIndex.clear();
  if (!anySize) return;
  anyIndex.assign(kPrefixes + 1, static_cast<std::uint32_t>(entries.size()));
  for (std::size_t at = entries.size(); at-- > anyBegin;) {
    anyIndex[prefixOf(entries[at].digest.data())] = static_cast<std::uint32_t>(at);
  }
  // A prefix no entry has starts where the next one does.
  for (std::size_t prefix = kPrefixes; prefix-- > 0;) {
    anyIndex[prefix] = std::min(anyIndex[prefix], anyIndex[prefix + 1]);
  }
}

template <std::size_t DigestBytes>
bool HashSignatures::Table<DigestBytes>::needs(std::uint32_t size) const {
  if (anySize) return true;
  const auto sizedEnd = entries.begin() + static_cast<std::ptrdiff_t>(anyBegin);
  auto found = std::lower_bound(entries.begin(), sizedEnd, size,
                                [](const Entry& entry, std::uint32_t s) { return entry.size < s; });
  return found != sizedEnd && found->size == size;
}

template <std::size_t DigestBytes>
void HashSignatures::Table<DigestBytes>::collect(std::uint32_t size, const unsigned char* digest,
                                                 std::vector<std::uint32_t>& names) const {
  auto same = [digest](const Entry& entry) {
    return std::memcmp(entry.digest.data(), digest, DigestBytes) == 0;
  };
  const auto sizedEnd = entries.begin() + static_cast<std::ptrdiff_t>(anyBegin);
  auto less = [](const Entry& entry, const std::pair<std::uint32_t, const unsigned char*>& key) {
    if (entry.size != key.first) return entry.size < key.first;
    return std::memcmp(entry.digest.data(), key.second, DigestBytes) < 0;
  };
  for (auto found = std::lower_bound(entries.begin(), sizedEnd, std::make_pair(size, digest), less);
       found != sizedEnd && found->size == size && same(*found); ++found) {
    names.push_back(found->name);
  }
  if (!anySize) return;
  const std::size_t prefix = prefixOf(digest);
  const auto bucketEnd = entries.begin() + anyIndex[prefix + 1];
  for (auto found = std::lower_bound(entries.begin() + anyIndex[prefix], bucketEnd,
                                     std::make_pair(kAnySize, digest), less);
       found != bucketEnd && same(*found); ++found) {
    names.push_back(found->name);
  }
}

HashSignatures::HashSignatures(std::uint64_t maxFileSize)
    : maxFileSize_(std::min<std::uint64_t>(maxFileSize, kAnySize - 1)) {}

bool HashSignatures::isListName(const std::string& fileName) {
  const std::size_t dot = fileName.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  const std::string extension = fileName.substr(dot);
  return extension == ".hdb" || extension == ".hsb" || extension == ".hashes";
}

std::uint32_t HashSignatures::intern(const std::string& name) {
  // Lists name their signatures in runs (a bare list names them all alike): a run shares one copy.
  if (!names_.empty() && name == lastName_) return lastNameOffset_;
  lastNameOffset_ = static_cast<std::uint32_t>(names_.size());
  names_ += name;
  names_ += '\0';
  lastName_ = name;
  return lastNameOffset_;
}

bool HashSignatures::addLine(const std::string& line, const std::string& bareName, ListLoad& load) {
  const std::size_t firstColon = line.find(':');
  std::string hex = line.substr(0, firstColon);
  std::string name = bareName;
  std::uint64_t size = kAnySize;
  if (firstColon != std::string::npos) {
    const std::size_t secondColon = line.find(':', firstColon + 1);
    if (secondColon == std::string::npos) return false;
    const std::string sizeText = line.substr(firstColon + 1, secondColon - firstColon - 1);
    name = line.substr(secondColon + 1, line.find(':', secondColon + 1) - secondColon - 1);
    if (name.empty() || name.find('\0') != std::string::npos) return false;
    if (sizeText != "*") {
      const char* end = sizeText.data() + sizeText.size();
      auto [parsedTo, error] = std::from_chars(sizeText.data(), end, size);
      if (sizeText.empty() || error != std::errc() || parsedTo != end) return false;
    }
  }
  std::array<unsigned char, 32> digest{};
  std::size_t length = 0;
  if (!parseDigest(hex, digest, length)) return false;
  if (size != kAnySize && size > maxFileSize_) {
    ++load.tooLarge;
    return true;
  }
  const auto entrySize = static_cast<std::uint32_t>(size);
  const std::uint32_t nameOffset = intern(name);
  if (length == 16) {
    md5_.entries.push_back({{}, entrySize, nameOffset});
    std::copy_n(digest.begin(), 16, md5_.entries.back().digest.begin());
  } else if (length == 20) {
    sha1_.entries.push_back({{}, entrySize, nameOffset});
    std::copy_n(digest.begin(), 20, sha1_.entries.back().digest.begin());
  } else {
    sha256_.entries.push_back({digest, entrySize, nameOffset});
  }
  ++load.loaded;
  return true;
}

HashSignatures::ListLoad HashSignatures::loadList(const std::string& path) {
  ListLoad load;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    load.unreadable = true;
    return load;
  }
  const std::string bareName = "Hash." + stemOf(path);
  for (std::string line; std::getline(in, line);) {
    line = platform::trimBlanks(line);
    if (line.empty() || line[0] == '#') continue;
    if (!addLine(line, bareName, load)) ++load.malformed;
  }
  if (in.bad()) load.unreadable = true;
  return load;
}

void HashSignatures::finish() {
  md5_.finish(names_);
  sha1_.finish(names_);
  sha256_.finish(names_);
  names_.shrink_to_fit();
  lastName_.clear();
}

std::size_t HashSignatures::count() const {
  return md5_.entries.size() + sha1_.entries.size() + sha256_.entries.size();
}

namespace {

// MD5, SHA-1 and SHA-256, fetched from the provider once and kept for the life of the process:
// EVP_md5() and its kin are looked up again by every EVP_DigestInit_ex, which costs more than
// hashing a small file.
const EVP_MD* algorithm(std::size_t index) {
  static const std::array<const EVP_MD*, 3> fetched = [] {
    std::array<const EVP_MD*, 3> md{EVP_MD_fetch(nullptr, "MD5", nullptr),
                                    EVP_MD_fetch(nullptr, "SHA1", nullptr),
                                    EVP_MD_fetch(nullptr, "SHA256", nullptr)};
    if (md[0] == nullptr) md[0] = EVP_md5();
    if (md[1] == nullptr) md[1] = EVP_sha1();
    if (md[2] == nullptr) md[2] = EVP_sha256();
    return md;
  }();
  return fetched[index];
}

// The calling thread's digest context for an algorithm, made once per thread and reused.
EVP_MD_CTX* threadContext(std::size_t index) {
  thread_local std::array<DigestContext, 3> contexts;
  if (!contexts[index]) contexts[index].reset(EVP_MD_CTX_new());
  return contexts[index].get();
}

struct Wanted {
  bool needed;
  EVP_MD_CTX* context = nullptr;
};

// Feeds the `size` bytes read through `read` to every needed digest (index 0 MD5, 1 SHA-1,
// 2 SHA-256), in one pass. False when a read or a digest step failed, or the file ended early:
// no digest is then trustworthy.
bool digestContent(std::uint64_t size, const HashSignatures::Reader& read,
                   std::array<Wanted, 3>& wanted) {
  for (std::size_t index = 0; index < wanted.size(); ++index) {
    Wanted& w = wanted[index];
    if (!w.needed) continue;
    w.context = threadContext(index);
    if (w.context == nullptr || EVP_DigestInit_ex(w.context, algorithm(index), nullptr) != 1) {
      return false;
    }
  }
  std::vector<unsigned char> block(
      static_cast<std::size_t>(std::min<std::uint64_t>(size, kReadBlock)));
  for (std::uint64_t offset = 0; offset < size;) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - offset));
    const std::int64_t got = read(offset, block.data(), want);
    if (got <= 0) return false;
    for (Wanted& w : wanted) {
      if (w.needed &&
          EVP_DigestUpdate(w.context, block.data(), static_cast<std::size_t>(got)) != 1) {
        return false;
      }
    }
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

}  // namespace

std::string HashSignatures::sha256Of(std::uint64_t size, const Reader& read) {
  std::array<Wanted, 3> wanted{{{false}, {false}, {true}}};
  if (size == 0 || !digestContent(size, read, wanted)) return "";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(wanted[2].context, digest, &length) != 1) return "";
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 15];
  }
  return hex;
}

std::vector<std::string> HashSignatures::match(std::uint64_t size, const Reader& read,
                                               bool* complete) const {
  std::vector<std::string> matched;
  if (size == 0 || size > maxFileSize_) return matched;
  const auto fileSize = static_cast<std::uint32_t>(size);
  std::array<Wanted, 3> wanted{
      {{md5_.needs(fileSize)}, {sha1_.needs(fileSize)}, {sha256_.needs(fileSize)}}};
  if (std::none_of(wanted.begin(), wanted.end(), [](const Wanted& w) { return w.needed; })) {
    return matched;
  }
  auto fail = [&] {
    if (complete != nullptr) *complete = false;
    return std::vector<std::string>{};
  };
  // A file that shrank or failed to read is not matched on a partial digest.
  if (!digestContent(size, read, wanted)) return fail();
  std::vector<std::uint32_t> names;
  unsigned char digest[EVP_MAX_MD_SIZE];
  for (std::size_t index = 0; index < wanted.size(); ++index) {
    if (!wanted[index].needed) continue;
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(wanted[index].context, digest, &length) != 1) return fail();
    if (index == 0) md5_.collect(fileSize, digest, names);
    if (index == 1) sha1_.collect(fileSize, digest, names);
    if (index == 2) sha256_.collect(fileSize, digest, names);
  }
  // Names in the order the lists gave them (their pool offsets grow in that order), each once.
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  for (const std::uint32_t offset : names) {
    std::string name(names_.c_str() + offset);
    if (std::find(matched.begin(), matched.end(), name) == matched.end()) {
      matched.push_back(std::move(name));
    }
  }
  return matched;
}

}  // namespace norvid

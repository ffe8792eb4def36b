// Generic versions: the parser, the error kinds and the two text forms.
// Plain C++: nothing here knows about the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace norbe::core {

// The kinds of entries, in their fixed order.
enum class VersionPartKind : std::uint8_t { Int, Str, Wildcard, Sep };

// An immutable non-empty list of entries that alternate between a
// non-separator (Int, Str or Wildcard) and a Sep: 2k+1 entries for k
// separators. Only parse_version makes a non-empty one; a default-constructed
// or moved-from version has no entries.
//
// A version is its plain text plus the part boundaries: for each
// non-separator entry, where its text ends and what kind it is (a separator
// is the one character after an entry). Both live in one heap block, so that
// moving is a pointer swap, parsing makes a single allocation (a std::string
// beside a std::vector would make two) and copying none.
class Version {
 public:
  Version() noexcept = default;
  // Copies share the block (it never changes; core/shared.hpp), and the
  // last one frees it.
  Version(const Version& other) noexcept;
  Version& operator=(const Version& other) noexcept;
  Version(Version&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  Version& operator=(Version&& other) noexcept;
  ~Version() {
    if (block_ != nullptr) release();
  }

  // The number of entries, separators included.
  std::size_t size() const noexcept;
  bool empty() const noexcept { return size() == 0; }

  // Entry i, for i < size().
  VersionPartKind kind(std::size_t i) const noexcept;
  // Entry i's own slice of text(): an Int's decimal digits, a Str's text,
  // "*", ">" or the separator character.
  std::string_view text(std::size_t i) const noexcept;

  // The plain text, stored as is: no work to produce.
  std::string_view text() const noexcept;

  // The plain text re-parses to the same entries, so equal texts mean equal entries.
  friend bool operator==(const Version& a, const Version& b) noexcept { return a.text() == b.text(); }

 private:
  friend class VersionBuilder;
  // The block's header: its count of owners, the non-separator count m and
  // the text length; then m words, the offsets in the text where each
  // non-separator ends; then m kind bytes and the text.
  struct Block;
  void release() noexcept;
  static void free(Block* block) noexcept;
  Block* block_ = nullptr;
};

enum class VersionErrorKind : std::uint8_t { TrailingSeparator, InvalidPart, EmptyPart, PartAfterRest };

struct VersionError {
  VersionErrorKind kind;
  std::string part;  // the offending part text, only for InvalidPart
};

// Parses left to right; the first failing part wins. Linear in the input length.
std::variant<Version, VersionError> parse_version(std::string_view text);

// "TrailingSeparator", "EmptyPart", "PartAfterRest" or InvalidPart("<double-quoted part>").
std::string version_error_message(const VersionError& error);

// The concatenation of the entries' texts ("01.2" parsed prints as "1.2").
void append_plain_text(std::string& out, const Version& version);
std::string plain_text(const Version& version);

// "Version { parts: [Int(1), Sep('.'), Str(\"rc1\")] }".
std::string debug_text(const Version& version);

}  // namespace norbe::core

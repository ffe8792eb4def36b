#include "core/version.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>
#include <new>

#include "core/escape.hpp"
#include "core/platform.hpp"
#include "core/shared.hpp"

namespace norbe::core {

namespace {

// What a non-separator entry is; one byte per entry in the block.
enum class Slot : std::uint8_t { Int, Str, Single, Rest };

bool is_separator(char c) {
  return c == '.' || c == '-' || c == '+';
}

// Character classes for the one-pass parse.
enum CharClass : std::uint8_t { kDigit = 1, kLetter = 2, kSeparator = 4, kOther = 8 };

constexpr std::array<std::uint8_t, 256> make_char_classes() {
  std::array<std::uint8_t, 256> table{};
  for (auto& entry : table) entry = kOther;
  for (int c = '0'; c <= '9'; ++c) table[c] = kDigit;
  for (int c = 'a'; c <= 'z'; ++c) table[c] = kLetter;
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = kLetter;
  table['.'] = table['-'] = table['+'] = kSeparator;
  return table;
}
constexpr std::array<std::uint8_t, 256> kCharClasses = make_char_classes();

std::uint8_t char_class(char c) {
  return kCharClasses[static_cast<unsigned char>(c)];
}

// Whether a digit string (not empty) is at most 18446744073709551615.
bool digits_fit(std::string_view s) {
  std::size_t zeros = 0;
  while (zeros + 1 < s.size() && s[zeros] == '0') ++zeros;
  const std::string_view significant = s.substr(zeros);
  if (significant.size() < 20) return true;
  return significant.size() == 20 && significant <= "18446744073709551615";
}

// The outcome of classifying one part. Nothing is allocated here: the text is
// copied only once the part is known to be good (or into the error).
struct PartClass {
  bool ok;
  Slot slot;               // when ok
  VersionErrorKind error;  // when not ok
};

// `classes` is the union of the classes of the part's characters.
PartClass classify_part(std::string_view s, std::uint8_t classes, bool after_rest) {
  if (after_rest) return {false, Slot::Int, VersionErrorKind::PartAfterRest};
  if (s.size() == 1 && (s[0] == '*' || s[0] == '>'))
    return {true, s[0] == '*' ? Slot::Single : Slot::Rest, {}};
  if (classes & kOther) return {false, Slot::Int, VersionErrorKind::InvalidPart};
  if (s.empty()) return {false, Slot::Int, VersionErrorKind::EmptyPart};
  if (classes == kDigit && digits_fit(s)) return {true, Slot::Int, {}};
  return {true, Slot::Str, {}};
}

}  // namespace

struct Version::Block {
  OwnerCount owners;
  std::uint32_t unused = 0;
  std::uint64_t entries;    // the non-separator count
  std::uint64_t text_size;  // the length of the text

  // The bytes of a block for that many entries and that much text.
  static std::size_t bytes_for(std::size_t entries, std::size_t text_size) {
    return sizeof(Block) + entries * sizeof(std::uint64_t) + entries + text_size;
  }
  std::uint64_t* ends() noexcept { return reinterpret_cast<std::uint64_t*>(this + 1); }
  const std::uint64_t* ends() const noexcept { return reinterpret_cast<const std::uint64_t*>(this + 1); }
  const char* slots() const noexcept { return reinterpret_cast<const char*>(ends() + entries); }
  const char* text() const noexcept { return slots() + entries; }
};

// Writes a version straight into its block during the parse. The separators
// are counted up front, which fixes the entry count; the text gets the input's
// length, an upper bound since only leading zeros are ever dropped.
//
// The text is the input less the leading zeros of Int parts, so it is copied
// lazily: input that drops nothing (the usual case) is copied in one piece at
// the end, and each dropped run of zeros first copies what lies before it.
class VersionBuilder {
 public:
  // `entries`: the number of non-separator entries, one more than the separators.
  VersionBuilder(std::string_view input, std::size_t entries) : input_(input) {
    block_ = new (::operator new(Version::Block::bytes_for(entries, input.size()))) Version::Block{};
    block_->entries = entries;
    ends_ = block_->ends();
    slots_ = reinterpret_cast<char*>(ends_ + entries);
    text_ = slots_ + entries;
  }
  VersionBuilder(const VersionBuilder&) = delete;
  VersionBuilder& operator=(const VersionBuilder&) = delete;
  ~VersionBuilder() {
    if (block_ != nullptr) Version::free(block_);
  }

  // The part of the input from `start` to `end` (exclusive), of that kind.
  void add(std::size_t start, std::size_t end, Slot slot) {
    if (slot == Slot::Int && input_[start] == '0' && end - start > 1) {
      // The decimal text of a value that fits is its digits without the
      // leading zeros (keeping the last digit).
      std::size_t zeros = 1;
      while (start + zeros + 1 < end && input_[start + zeros] == '0') ++zeros;
      copy_up_to(start);
      removed_ += zeros;
      copied_ = start + zeros;
    }
    ends_[count_] = end - removed_;
    slots_[count_] = static_cast<char>(slot);
    ++count_;
  }

  Version finish() && {
    assert(count_ == block_->entries);  // every entry counted up front was added
    copy_up_to(input_.size());
    // The slots sit right after the ends, so the text never moves.
    block_->text_size = input_.size() - removed_;
    Version v;
    v.block_ = std::exchange(block_, nullptr);
    return v;
  }

 private:
  // Copies the input from where the copy stands up to `end`.
  void copy_up_to(std::size_t end) {
    if (end > copied_) std::memcpy(text_ + copied_ - removed_, input_.data() + copied_, end - copied_);
    copied_ = end;
  }

  std::string_view input_;
  Version::Block* block_;
  std::uint64_t* ends_;
  char* slots_;
  char* text_;
  std::size_t count_ = 0;
  std::size_t copied_ = 0;   // the input before this is in the text
  std::size_t removed_ = 0;  // leading zeros dropped so far
};

Version::Version(const Version& other) noexcept : block_(other.block_) {
  if (block_ != nullptr) block_->owners.add();
}

Version& Version::operator=(const Version& other) noexcept {
  if (this != &other) *this = Version(other);
  return *this;
}

Version& Version::operator=(Version&& other) noexcept {
  if (this != &other) {
    if (block_ != nullptr) release();
    block_ = std::exchange(other.block_, nullptr);
  }
  return *this;
}

void Version::release() noexcept {
  if (block_->owners.release()) free(block_);
}

void Version::free(Block* block) noexcept {
  block->~Block();
  ::operator delete(block);
}

std::size_t Version::size() const noexcept {
  return block_ == nullptr ? 0 : 2 * block_->entries - 1;
}

std::string_view Version::text() const noexcept {
  if (block_ == nullptr) return {};
  return {block_->text(), static_cast<std::size_t>(block_->text_size)};
}

std::string_view Version::text(std::size_t i) const noexcept {
  const std::uint64_t* ends = block_->ends();
  const char* text = block_->text();
  const std::size_t j = i / 2;
  if (i % 2 == 1) return {text + ends[j], 1};
  const std::size_t begin = j == 0 ? 0 : ends[j - 1] + 1;
  return {text + begin, static_cast<std::size_t>(ends[j] - begin)};
}

VersionPartKind Version::kind(std::size_t i) const noexcept {
  if (i % 2 == 1) return VersionPartKind::Sep;
  switch (static_cast<Slot>(block_->slots()[i / 2])) {
    case Slot::Int:
      return VersionPartKind::Int;
    case Slot::Str:
      return VersionPartKind::Str;
    case Slot::Single:
    case Slot::Rest:
      break;
  }
  return VersionPartKind::Wildcard;
}

std::variant<Version, VersionError> parse_version(std::string_view text) {
  std::size_t separators = 0;
  NORBE_VECTORIZE_BYTES
  for (char c : text) separators += is_separator(c) ? 1 : 0;
  VersionBuilder builder(text, separators + 1);
  bool after_rest = false;
  std::size_t start = 0;
  std::uint8_t classes = 0;  // of the current part's characters
  // One pass: every separator closes the part before it, and the end of the
  // text closes the last one (after the trailing-separator check).
  for (std::size_t i = 0;; ++i) {
    if (i < text.size()) {
      const std::uint8_t c = char_class(text[i]);
      if (c != kSeparator) {
        classes |= c;
        continue;
      }
    } else if (start == text.size()) {
      return VersionError{VersionErrorKind::TrailingSeparator, {}};
    }
    const std::string_view part(text.data() + start, i - start);
    const PartClass c = classify_part(part, classes, after_rest);
    if (!c.ok) {
      VersionError error{c.error, {}};
      if (c.error == VersionErrorKind::InvalidPart) error.part.assign(part);
      return error;
    }
    if (c.slot == Slot::Rest) after_rest = true;
    builder.add(start, i, c.slot);
    if (i == text.size()) break;
    start = i + 1;
    classes = 0;
  }
  return std::move(builder).finish();
}

std::string version_error_message(const VersionError& error) {
  switch (error.kind) {
    case VersionErrorKind::TrailingSeparator:
      return "TrailingSeparator";
    case VersionErrorKind::EmptyPart:
      return "EmptyPart";
    case VersionErrorKind::PartAfterRest:
      return "PartAfterRest";
    case VersionErrorKind::InvalidPart:
      break;
  }
  std::string out = "InvalidPart(";
  append_double_quoted(out, error.part);
  out.push_back(')');
  return out;
}

void append_plain_text(std::string& out, const Version& version) {
  out.append(version.text());
}

std::string plain_text(const Version& version) {
  return std::string(version.text());
}

std::string debug_text(const Version& version) {
  static constexpr std::string_view head = "Version { parts: [", tail = "] }", comma = ", ";
  static constexpr std::string_view int_open = "Int(", str_open = "Str(\"", str_close = "\")";
  static constexpr std::string_view sep_open = "Sep('", sep_close = "')", close = ")";
  static constexpr std::string_view single = "Wildcard(Single)", rest = "Wildcard(Rest)";
  const std::size_t n = version.size();
  // Str texts are letters and digits, so their double-quoted form is the text
  // in plain quotes, and the size is known up front: every entry's own text
  // (Int digits, Str text, the separator) plus the literals around it.
  std::size_t size = head.size() + tail.size() + (n == 0 ? 0 : comma.size() * (n - 1));
  for (std::size_t i = 0; i < n; ++i) {
    switch (version.kind(i)) {
      case VersionPartKind::Int:
        size += int_open.size() + version.text(i).size() + close.size();
        break;
      case VersionPartKind::Str:
        size += str_open.size() + version.text(i).size() + str_close.size();
        break;
      case VersionPartKind::Wildcard:
        size += (version.text(i) == "*" ? single : rest).size();
        break;
      case VersionPartKind::Sep:
        size += sep_open.size() + version.text(i).size() + sep_close.size();
        break;
    }
  }

  // Filled through a cursor: a long version has millions of tiny pieces.
  std::string out(size, '\0');
  char* at = out.data();
  const auto put = [&at](std::string_view piece) { at = std::copy(piece.begin(), piece.end(), at); };
  put(head);
  for (std::size_t i = 0; i < n; ++i) {
    if (i != 0) put(comma);
    const std::string_view s = version.text(i);
    switch (version.kind(i)) {
      case VersionPartKind::Int:
        put(int_open);
        put(s);
        put(close);
        break;
      case VersionPartKind::Str:
        put(str_open);
        put(s);
        put(str_close);
        break;
      case VersionPartKind::Wildcard:
        put(s == "*" ? single : rest);
        break;
      case VersionPartKind::Sep:
        put(sep_open);
        put(s);
        put(sep_close);
        break;
    }
  }
  put(tail);
  assert(at == out.data() + out.size());  // the size counted above is what was written
  return out;
}

}  // namespace norbe::core

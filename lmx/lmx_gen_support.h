// What the generated message classes share: the owned list of repeated complex children, the
// enumeration tables, and the element reader that runs the fixed reading order of every class
// (attributes, empty-element check, children in order, end tag) so that the generated code is
// a flat list of calls. Every report goes through the reader's report-error operation with the
// name of the item concerned, so the reader's error text says where a message went wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lmx/lmx_base.h"
#include "lmx/lmx_reader.h"
#include "lmx/lmx_types.h"
#include "lmx/lmx_writer.h"

namespace lmx::gen {

// An ordered list of heap-held children. Copies are deep, so a message object can be copied
// by its owner like a value; references to items stay valid while items are appended.
template <class T>
class owned_list {
 public:
  owned_list() = default;
  owned_list(const owned_list& other) { *this = other; }
  owned_list& operator=(const owned_list& other) {
    if (this == &other) return *this;
    std::vector<std::unique_ptr<T>> copy;
    copy.reserve(other.items_.size());
    for (const auto& item : other.items_) copy.push_back(std::make_unique<T>(*item));
    items_.swap(copy);
    return *this;
  }
  owned_list(owned_list&&) noexcept = default;
  owned_list& operator=(owned_list&&) noexcept = default;
  ~owned_list() = default;

  bool operator==(const owned_list& other) const {
    if (items_.size() != other.items_.size()) return false;
    for (std::size_t i = 0; i < items_.size(); ++i) {
      if (!(*items_[i] == *other.items_[i])) return false;
    }
    return true;
  }

  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  // Throws std::out_of_range like std::vector::at: an index past the end is a caller's bug.
  const T& at(std::size_t index) const { return *items_.at(index); }
  T& at(std::size_t index) { return *items_.at(index); }
  T& back() { return *items_.back(); }
  // Adds a default item at the end and returns it.
  T& append() {
    items_.push_back(std::make_unique<T>());
    return *items_.back();
  }
  // Grows the list with default items until `index` exists, then returns that item.
  T& grow_to(std::size_t index) {
    while (items_.size() <= index) append();
    return *items_[index];
  }
  void clear() { items_.clear(); }

 private:
  std::vector<std::unique_ptr<T>> items_;
};

// The allowed values of one enumeration, built once per program.
struct enumeration {
  enumeration(std::initializer_list<const char16_t*> list) : values(list.begin(), list.end()) {}
  std::vector<std::u16string> values;
};

// The child element names of one class, in schema order; the position is the child's index.
class name_list {
 public:
  name_list(std::initializer_list<const char*> names);
  std::size_t size() const { return names_.size(); }
  const std::string& name(std::size_t index) const { return names_[index]; }
  // The reader's name table over these names (no namespace); child i has token TOK_USER + i.
  const s_name_entry* table() const { return table_.data(); }

 private:
  std::vector<std::string> names_;
  std::vector<s_name_entry> table_;
};

// One attribute of a class: where its value and presence flag live.
struct attribute_slot {
  const char* name;
  bool required;
  std::u16string* value;
  bool* present;
};

// Finds the root element `name` (code 16 when the first element has another name) and leaves
// the reader on its start tag; `found` receives the name as written.
[[nodiscard]] int find_root(c_xml_reader& reader, const std::string& name, std::string& found);

// Reads one complex element whose start tag the reader has just found. The generated
// read_element of a class drives it: read_attributes, then is_empty, then next and, for each
// child in order, at/scalar/missing or a recursive read followed by next, then end.
// Every report goes through the reader's handlers; a code they tolerate (verdict 0) lets the
// reading carry on as if there had been no error: the item concerned is simply left unset.
class element_reader {
 public:
  element_reader(c_xml_reader& reader, const std::string& name, const name_list& children);

  // Reads every attribute of the start tag: a known one twice is code 3, a schema-instance one
  // is skipped, any other is code 39; then a required one not seen is code 25.
  [[nodiscard]] int read_attributes(attribute_slot* attributes, std::size_t count);
  template <std::size_t N>
  [[nodiscard]] int read_attributes(attribute_slot (&attributes)[N]) {
    return read_attributes(attributes, N);
  }
  [[nodiscard]] int read_attributes() { return read_attributes(nullptr, 0); }

  // True when the start tag was an empty-element tag (known after read_attributes).
  bool is_empty() const { return empty_; }

  // Moves to the next markup event; a reader error is reported and returned.
  [[nodiscard]] int next();
  // True when the current event is the start tag of child `index`.
  bool at(std::size_t index) const;
  // Code 21 for child `index`.
  [[nodiscard]] int missing(std::size_t index);
  // The current start tag's name as written, to hand to a child's read_element.
  const std::string& found_name() const { return found_; }

  // Reads the value of child `index` (the current start tag), checks it in the order format
  // (35), lower bound (37), upper bound (36), enumeration (38), stores it, sets `present` and
  // moves to the next event. `out` is left unchanged on failure.
  [[nodiscard]] int scalar(std::size_t index, std::u16string& out, bool& present,
                           const enumeration* allowed = nullptr);
  [[nodiscard]] int scalar(std::size_t index, std::int32_t& out, bool& present);
  [[nodiscard]] int scalar(std::size_t index, std::uint32_t& out, bool& present);
  [[nodiscard]] int scalar(std::size_t index, bool& out, bool& present);
  // Unbounded integer, kept as its normalised decimal text.
  [[nodiscard]] int scalar(std::size_t index, std::string& out, bool& present);

  // The text of an element with simple content (after read_attributes); an empty-element tag
  // gives an empty text. Nothing follows: the element is finished.
  [[nodiscard]] int text(std::u16string& out, bool& present);

  // After the last child: the current event must be this element's own end tag (code 10).
  [[nodiscard]] int end();

  // Reports `code` with `item` through the reader and returns the reader's verdict.
  [[nodiscard]] int report(int code, const std::string& item);

 private:
  // Reads the current simple element's value with `mode`, as UTF-8 text.
  [[nodiscard]] int value_text(const std::string& item, elmx_whitespace mode, std::string& out);
  // Reads a string-like value of child `index` as UTF-16.
  [[nodiscard]] int string_value(std::size_t index, std::u16string& out);
  // Stores nothing itself: sets `present` and moves on to the next event.
  [[nodiscard]] int finish_scalar(bool& present);
  // Reports a value that fails its checks; when the handlers tolerate it, moves on.
  [[nodiscard]] int refuse(int code, const std::string& item);
  // A 32-bit number of child `index`: format and bounds checked on the text, then converted.
  template <class T>
  [[nodiscard]] int bounded_scalar(std::size_t index, T& out, bool& present, std::string_view min,
                                   std::string_view max, int (*convert)(std::string_view, T&));

  c_xml_reader& reader_;
  const std::string& name_;
  const name_list& children_;
  bool empty_ = false;
  int token_ = TOK_END_OF_INPUT;
  std::string found_;
};

}  // namespace lmx::gen

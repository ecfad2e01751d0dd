// Small XML tree: documents, elements and attributes, a parser for the narrow dialect the
// command protocol speaks, and a writer.
//
// The dialect: elements, attributes, one declaration ("<?xml ...?>") and text that directly
// follows a start tag. No comments, DOCTYPE, CDATA or namespaces; names are compared byte for
// byte; no character set is interpreted. Text after an end tag or an empty element inside an
// element (mixed content) is skipped. A second top-level element is parsed and then dropped.
//
// Ownership: an xmldoc owns its declaration and root; a node owns its attributes and (through
// unique_ptr) its children. Trees of any depth are written and destroyed without recursion.
#ifndef KT_XMLDOC_XMLDOC_H_
#define KT_XMLDOC_XMLDOC_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "buffers/buffer.h"

namespace kt {

// Element, attribute and end-tag names are limited to this many bytes.
inline constexpr size_t kXmldocMaxName = 511;

// One attribute. Names need not be unique within an element.
struct xmldoc_attr {
  std::string name;
  std::string value;

  static xmldoc_attr create(std::string_view name, std::string_view value) {
    return xmldoc_attr{std::string(name), std::string(value)};
  }
};

// One element.
class xmldoc_node {
 public:
  using child_list = std::vector<std::unique_ptr<xmldoc_node>>;

  explicit xmldoc_node(std::string_view name) : name_(name) {}
  ~xmldoc_node();  // xmldoc_free_node; iterative, any depth
  xmldoc_node(const xmldoc_node&) = delete;
  xmldoc_node& operator=(const xmldoc_node&) = delete;

  // xmldoc_node_create: a new element with no value, parent, children or attributes.
  static std::unique_ptr<xmldoc_node> create(std::string_view name) {
    return std::make_unique<xmldoc_node>(name);
  }

  const std::string& name() const { return name_; }

  // "No value" and "empty value" differ; both are written the same way.
  bool has_value() const { return has_value_; }
  const std::string& value() const { return value_; }  // empty when there is none
  void set_value(std::string_view value) {
    value_.assign(value);
    has_value_ = true;
  }
  void clear_value() {
    value_.clear();
    has_value_ = false;
  }

  // The element whose child list holds this one, or nullptr (top-level or detached).
  xmldoc_node* parent() const { return parent_; }

  // Children in insertion order.
  const child_list& children() const { return children_; }
  size_t child_count() const { return children_.size(); }
  xmldoc_node* first_child() const { return children_.empty() ? nullptr : children_[0].get(); }

  // xmldoc_node_add_child: appends child (taking ownership) and returns it; nullptr for a null
  // child.
  xmldoc_node* add_child(std::unique_ptr<xmldoc_node> child);
  // xmldoc_node_remove_child: unlinks child and hands it back, or nullptr when it is not a
  // child of this node.
  std::unique_ptr<xmldoc_node> remove_child(const xmldoc_node* child);

  // xmldoc_node_get: the first child named name, or nullptr.
  xmldoc_node* get(std::string_view name) const;
  // xmldoc_node_get_value: the value of that child; nullptr when there is no such child or it
  // has no value.
  const std::string* get_value(std::string_view name) const;

  // Attributes in insertion order.
  const std::vector<xmldoc_attr>& attrs() const { return attrs_; }
  // Appends the attribute (even if its name is present).
  xmldoc_attr& attr_add(xmldoc_attr attr);
  // xmldoc_node_attr_addval: appends a copy of name and value (even if name is present).
  xmldoc_attr& attr_addval(std::string_view name, std::string_view value);
  // xmldoc_node_attr_get: the first attribute named name, or nullptr.
  const xmldoc_attr* attr_get(std::string_view name) const;
  xmldoc_attr* attr_get(std::string_view name);
  // xmldoc_node_attr_get_value: that attribute's value; empty when absent.
  std::string_view attr_get_value(std::string_view name) const;

 private:
  friend class xmldoc;

  std::string name_;
  std::string value_;
  bool has_value_ = false;
  xmldoc_node* parent_ = nullptr;
  child_list children_;
  std::vector<xmldoc_attr> attrs_;
};

// A document: an optional declaration (its attributes are written in "<?xml ...?>") and an
// optional root element.
class xmldoc {
 public:
  xmldoc() = default;  // xmldoc_create
  xmldoc(xmldoc&&) noexcept = default;
  xmldoc& operator=(xmldoc&&) noexcept = default;

  // xmldoc_create_def: declaration version="1.0" encoding="UTF-8" and an empty root element.
  static xmldoc create_def(std::string_view root_name);

  xmldoc_node* declaration() const { return declaration_.get(); }
  xmldoc_node* root() const { return root_.get(); }
  void set_declaration(std::unique_ptr<xmldoc_node> decl) { declaration_ = std::move(decl); }
  void set_root(std::unique_ptr<xmldoc_node> root) { root_ = std::move(root); }
  std::unique_ptr<xmldoc_node> release_root() { return std::move(root_); }
  // xmldoc_free (doc, 0): drops root and declaration.
  void clear() {
    root_.reset();
    declaration_.reset();
  }

  // xmldoc_node_add: appends child to parent and returns it; nothing (nullptr) when either is
  // null. An element that is to become the root is handed over with set_root() first.
  xmldoc_node* node_add(xmldoc_node* parent, std::unique_ptr<xmldoc_node> child);

  // xmldoc_parse: parses text into this (normally empty) document. The text ends at its
  // first zero byte. Returns 0, also for an empty text, or:
  //   -1  no '<' where a tag must follow, '<' as the last byte, an end tag with no open
  //       element, or trailing non-white text
  //   -2  end tag without '>'             -3  end tag with an empty name
  //   -4  end tag name differs from the open element's name
  //   -5  "<>"                            -6  empty element name
  //   -7  text ends inside an element name
  //   -8  text ends after the element name and its spaces
  //   -9  text ends inside an attribute name
  //   -10 text ends after an attribute name and its spaces
  //   -11 attribute name not followed by '='
  //   -12 text ends after '='             -13 attribute value not opened by a quote
  //   -14 text ends right after the opening quote
  //   -15 closing quote missing           -16 text ends after an attribute value
  //   -17 '?' after an attribute while the document already has a declaration
  //   -18 start tag without '>'           -19 element text not followed by '<'
  //   -20 a second declaration
  //   -21 an element, attribute or end-tag name longer than kXmldocMaxName bytes
  //   -30 element text or attribute value holds a reference that fails to decode
  //   -31 the elements built would take more than memory_limit bytes (an estimate of what
  //       they hold on the heap), so that a document costs at most what its caller allows
  // On failure the part built so far stays in the document.
  //
  // Attribute values: CR LF, CR, LF and TAB become spaces, leading and trailing spaces go,
  // runs of spaces become one; then references are decoded as in element text. Element text is
  // kept as is (white space included) and references are decoded: &amp; &apos; &quot; &lt;
  // &gt; &#N; &#xH; (the low 8 bits of the number as one byte; a zero byte, or digits that
  // don't parse, end the text there). Unknown names are left unchanged; an '&' whose next ';'
  // is missing or more than 10 bytes away is an error (-30).
  int parse(std::string_view text, size_t memory_limit = SIZE_MAX);
  int parse(const char* text) { return text == nullptr ? 0 : parse(std::string_view(text)); }

  // xmldoc_save: appends node and its subtree to out, preceded by the declaration when out is
  // empty and the document has one. Text escapes '&' '<' '>', attribute values '&' '<' '"';
  // zero bytes are left out of both (a value read from a damaged file may hold one).
  // Returns 0, -1 for a null node, -2 when the buffer can't grow.
  int save(const xmldoc_node* node, buffer& out) const;

 private:
  std::unique_ptr<xmldoc_node> declaration_;
  std::unique_ptr<xmldoc_node> root_;
};

// xmldoc_parse_file: reads and parses a file; nullptr (after logging) when the file can't be
// read or doesn't parse.
std::unique_ptr<xmldoc> xmldoc_parse_file(const char* path);

// xmldoc_node_dump: writes node and its subtree to standard output as xmldoc_save would (never
// with a declaration) and flushes it. Diagnostics only.
void xmldoc_node_dump(const xmldoc_node* node);

}  // namespace kt

#endif  // KT_XMLDOC_XMLDOC_H_

#include "xmldoc/xmldoc.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "utils/logger.h"
#include "utils/numbers.h"

namespace kt {

namespace {

// Bytes that end an element or attribute name.
struct name_end_table {
  bool ends[256] = {};
  constexpr name_end_table() {
    for (unsigned char c : {' ', '\r', '\n', '/', '>', '='}) ends[c] = true;
  }
};
constexpr name_end_table kNameEnd;

bool is_white(char c) {
  return c == ' ' || c == '\r' || c == '\n' || c == '\t';
}

size_t skip_white(const char* s, size_t i, size_t n) {
  while (i < n && is_white(s[i])) ++i;
  return i;
}

size_t scan_name(const char* s, size_t i, size_t n) {
  while (i < n && !kNameEnd.ends[static_cast<unsigned char>(s[i])]) ++i;
  return i;
}

const char* find(const char* s, size_t from, size_t n, char c) {
  if (from >= n) return nullptr;
  return static_cast<const char*>(std::memchr(s + from, c, n - from));
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Low 8 bits of a numeric reference ("#65" or "#x41"); leading digits only, 0 when none.
unsigned char numeric_ref(std::string_view ref) {
  uint32_t v = 0;
  if (ref.size() >= 2 && ref[1] == 'x') {
    for (size_t i = 2; i < ref.size(); ++i) {
      const int d = hex_digit(ref[i]);
      if (d < 0) break;
      v = v * 16 + static_cast<uint32_t>(d);
    }
  } else {
    v = static_cast<uint32_t>(decimal_prefix(ref.substr(1), UINT32_MAX));
  }
  return static_cast<unsigned char>(v & 0xff);
}

// Decodes character references in place, one level. Returns false for an '&' without a ';' in
// the next 11 bytes.
bool decode_refs(std::string& s) {
  const size_t first = s.find('&');
  if (first == std::string::npos) return true;
  char* p = s.data();
  const size_t n = s.size();
  size_t w = first;
  size_t r = first;
  while (r < n) {
    if (p[r] != '&') {
      p[w++] = p[r++];
      continue;
    }
    const size_t window = std::min<size_t>(n - r - 1, 11);
    const char* semi = static_cast<const char*>(std::memchr(p + r + 1, ';', window));
    if (semi == nullptr) return false;
    const std::string_view ref(p + r + 1, static_cast<size_t>(semi - (p + r + 1)));
    char c;
    if (ref == "amp") {
      c = '&';
    } else if (ref == "lt") {
      c = '<';
    } else if (ref == "gt") {
      c = '>';
    } else if (ref == "quot") {
      c = '"';
    } else if (ref == "apos") {
      c = '\'';
    } else if (!ref.empty() && ref[0] == '#') {
      c = static_cast<char>(numeric_ref(ref));
      if (c == '\0') {  // a zero byte ends the text
        s.resize(w);
        return true;
      }
    } else {
      p[w++] = p[r++];  // unknown: keep the '&', go on after it
      continue;
    }
    p[w++] = c;
    r = static_cast<size_t>(semi - p) + 1;
  }
  s.resize(w);
  return true;
}

// Attribute value normalisation: white space to single inner spaces, trimmed.
void normalise_into(std::string_view in, std::string& out) {
  out.reserve(in.size());
  bool space = false;
  for (const char c : in) {
    if (is_white(c)) {
      space = !out.empty();
      continue;
    }
    if (space) out.push_back(' ');
    space = false;
    out.push_back(c);
  }
}

// Output helpers. Each returns false when the buffer can't grow.
struct writer {
  buffer& out;
  bool ok = true;

  void put(std::string_view s) { ok = out.append(s) && ok; }

  // Appends s with '&', '<' and, for attribute values, '"' or, for text, '>' escaped. Zero
  // bytes, which no XML text can hold (a reader would stop there), are left out.
  void put_escaped(std::string_view s, bool attr) {
    size_t run = 0;
    for (size_t i = 0; i < s.size(); ++i) {
      const char* entity;
      switch (s[i]) {
        case '\0':
          entity = "";
          break;
        case '&':
          entity = "&amp;";
          break;
        case '<':
          entity = "&lt;";
          break;
        case '>':
          if (attr) continue;
          entity = "&gt;";
          break;
        case '"':
          if (!attr) continue;
          entity = "&quot;";
          break;
        default:
          continue;
      }
      put(s.substr(run, i - run));
      put(entity);
      run = i + 1;
    }
    put(s.substr(run));
  }

  void put_attrs(const std::vector<xmldoc_attr>& attrs) {
    for (const xmldoc_attr& a : attrs) {
      put(" ");
      put(a.name);
      put("=\"");
      put_escaped(a.value, true);
      put("\"");
    }
  }

  void start_tag(const xmldoc_node& n) {
    put("<");
    put(n.name());
    put_attrs(n.attrs());
    // "<x?>" would read back as a declaration.
    if (n.attrs().empty() && !n.name().empty() && n.name().back() == '?') put(" ");
    put(">");
    put_escaped(n.value(), false);
  }

  void end_tag(const xmldoc_node& n) {
    put("</");
    put(n.name());
    put(">");
  }

  // Writes the subtree without recursion.
  void tree(const xmldoc_node* top) {
    struct frame {
      const xmldoc_node* node;
      size_t next;
    };
    start_tag(*top);
    if (top->children().empty()) {
      end_tag(*top);
      return;
    }
    std::vector<frame> stack;
    stack.push_back({top, 0});
    while (!stack.empty()) {
      frame& f = stack.back();
      if (f.next < f.node->children().size()) {
        const xmldoc_node* c = f.node->children()[f.next++].get();
        start_tag(*c);
        stack.push_back({c, 0});
      } else {
        end_tag(*f.node);
        stack.pop_back();
      }
    }
  }
};

}  // namespace

// ---- xmldoc_node

xmldoc_node::~xmldoc_node() {
  // Use the child list as the work stack so a deep tree is freed without recursion.
  while (!children_.empty()) {
    std::unique_ptr<xmldoc_node> n = std::move(children_.back());
    children_.pop_back();
    for (auto& c : n->children_) children_.push_back(std::move(c));
    n->children_.clear();
  }
}

xmldoc_node* xmldoc_node::add_child(std::unique_ptr<xmldoc_node> child) {
  if (child == nullptr) return nullptr;
  child->parent_ = this;
  children_.push_back(std::move(child));
  return children_.back().get();
}

std::unique_ptr<xmldoc_node> xmldoc_node::remove_child(const xmldoc_node* child) {
  for (auto it = children_.begin(); it != children_.end(); ++it) {
    if (it->get() == child) {
      std::unique_ptr<xmldoc_node> n = std::move(*it);
      children_.erase(it);
      n->parent_ = nullptr;
      return n;
    }
  }
  return nullptr;
}

xmldoc_node* xmldoc_node::get(std::string_view name) const {
  for (const auto& c : children_)
    if (c->name_ == name) return c.get();
  return nullptr;
}

const std::string* xmldoc_node::get_value(std::string_view name) const {
  const xmldoc_node* c = get(name);
  return c != nullptr && c->has_value_ ? &c->value_ : nullptr;
}

xmldoc_attr& xmldoc_node::attr_add(xmldoc_attr attr) {
  attrs_.push_back(std::move(attr));
  return attrs_.back();
}

xmldoc_attr& xmldoc_node::attr_addval(std::string_view name, std::string_view value) {
  return attrs_.emplace_back(xmldoc_attr{std::string(name), std::string(value)});
}

const xmldoc_attr* xmldoc_node::attr_get(std::string_view name) const {
  for (const xmldoc_attr& a : attrs_)
    if (a.name == name) return &a;
  return nullptr;
}

xmldoc_attr* xmldoc_node::attr_get(std::string_view name) {
  return const_cast<xmldoc_attr*>(std::as_const(*this).attr_get(name));
}

std::string_view xmldoc_node::attr_get_value(std::string_view name) const {
  const xmldoc_attr* a = attr_get(name);
  return a != nullptr ? std::string_view(a->value) : std::string_view();
}

// ---- xmldoc

xmldoc xmldoc::create_def(std::string_view root_name) {
  xmldoc doc;
  doc.declaration_ = xmldoc_node::create("");
  doc.declaration_->attr_addval("version", "1.0");
  doc.declaration_->attr_addval("encoding", "UTF-8");
  doc.root_ = xmldoc_node::create(root_name);
  return doc;
}

xmldoc_node* xmldoc::node_add(xmldoc_node* parent, std::unique_ptr<xmldoc_node> child) {
  if (parent == nullptr || child == nullptr) return nullptr;
  return parent->add_child(std::move(child));
}

namespace {

// What a string of that length takes on the heap beyond its own object (short strings live
// inside it), with the allocator's overhead.
size_t string_heap(size_t length) {
  return length < 16 ? 0 : length + 17;
}

// What one parsed element takes: the node, its slot in the parent's child list (which grows
// by doubling), its name and the allocator's overhead.
size_t node_cost(size_t name_length) {
  return sizeof(xmldoc_node) + 16 + 2 * sizeof(std::unique_ptr<xmldoc_node>) +
         string_heap(name_length);
}

}  // namespace

int xmldoc::parse(std::string_view text, size_t memory_limit) {
  if (text.empty()) return 0;
  size_t cost = 0;
  if (const void* nul = std::memchr(text.data(), '\0', text.size()))
    text = text.substr(0, static_cast<size_t>(static_cast<const char*>(nul) - text.data()));
  const char* s = text.data();
  const size_t n = text.size();

  xmldoc_node* open = nullptr;
  // A second top-level element is kept here while it is open, then dropped.
  std::unique_ptr<xmldoc_node> discarded;
  auto attach = [&](std::unique_ptr<xmldoc_node> el) -> xmldoc_node* {
    xmldoc_node* raw = el.get();
    if (open != nullptr) {
      open->children_.push_back(std::move(el));
    } else if (root_ == nullptr) {
      root_ = std::move(el);
    } else {
      discarded = std::move(el);
    }
    return raw;
  };

  size_t p = 0;
  for (;;) {
    if (p >= n) return 0;
    const char* lt = find(s, p, n, '<');
    if (lt == nullptr || lt == s + n - 1) return -1;
    p = static_cast<size_t>(lt - s);

    if (s[p + 1] == '/') {  // end tag
      if (open == nullptr) return -1;
      const size_t b = p + 2;
      const char* gt = find(s, b, n, '>');
      if (gt == nullptr) return -2;
      const size_t g = static_cast<size_t>(gt - s);
      if (g == b) return -3;
      if (g - b > kXmldocMaxName) return -21;
      if (std::string_view(s + b, g - b) != open->name_) return -4;
      open = open->parent_;
      p = g + 1;
    } else {
      ++p;
      if (s[p] == '>') return -5;
      const size_t e = scan_name(s, p, n);
      if (e == p) return -6;
      if (e == n) return -7;
      if (e - p > kXmldocMaxName) return -21;
      cost += node_cost(e - p);
      if (cost > memory_limit) return -31;
      auto el = std::make_unique<xmldoc_node>(std::string_view(s + p, e - p));
      el->parent_ = open;
      p = e;
      if (s[p] == ' ') {
        p = skip_white(s, p, n);
        if (p == n) return -8;
      }
      if (s[p] != '/' && s[p] != '>') {
        for (;;) {
          const size_t ne = scan_name(s, p, n);
          if (ne == n) return -9;
          if (ne - p > kXmldocMaxName) return -21;
          const std::string_view name(s + p, ne - p);
          p = ne;
          if (s[p] == ' ') {
            p = skip_white(s, p, n);
            if (p == n) return -10;
          }
          if (s[p] != '=') return -11;
          p = skip_white(s, p + 1, n);
          if (p == n) return -12;
          const char quote = s[p];
          if (quote != '"' && quote != '\'') return -13;
          if (++p == n) return -14;
          const char* close = find(s, p, n, quote);
          if (close == nullptr) return -15;
          const size_t length = static_cast<size_t>(close - (s + p));
          // The list doubles as it grows: count two entries per attribute.
          cost += 2 * sizeof(xmldoc_attr) + 16 + string_heap(name.size()) + string_heap(length);
          if (cost > memory_limit) return -31;
          xmldoc_attr& a = el->attrs_.emplace_back();
          a.name.assign(name);
          normalise_into(std::string_view(s + p, length), a.value);
          if (!decode_refs(a.value)) return -30;
          p = skip_white(s, static_cast<size_t>(close - s) + 1, n);
          if (p == n) return -16;
          if (s[p] == '/' || s[p] == '>') break;
          if (s[p] == '?') {
            if (declaration_ != nullptr) return -17;
            break;
          }
        }
      }
      const char* gt = find(s, p, n, '>');
      if (gt == nullptr) return -18;
      const char before = gt[-1];
      p = static_cast<size_t>(gt - s) + 1;
      if (before == '?') {
        if (declaration_ != nullptr) return -20;
        el->parent_ = nullptr;
        declaration_ = std::move(el);
      } else if (before == '/') {
        attach(std::move(el));
      } else {
        if (p < n && s[p] != '<') {
          const char* next = find(s, p, n, '<');
          if (next == nullptr) return -19;
          cost += string_heap(static_cast<size_t>(next - (s + p)));
          if (cost > memory_limit) return -31;
          el->value_.assign(s + p, static_cast<size_t>(next - (s + p)));
          el->has_value_ = true;
          if (!decode_refs(el->value_)) return -30;
          p = static_cast<size_t>(next - s);
        }
        open = attach(std::move(el));
      }
    }
    if (open == nullptr && p < n) p = skip_white(s, p, n);
  }
}

int xmldoc::save(const xmldoc_node* node, buffer& out) const {
  if (node == nullptr) return -1;
  writer w{out};
  if (out.empty() && declaration_ != nullptr) {
    w.put("<?xml");
    w.put_attrs(declaration_->attrs_);
    w.put("?>\r\n");
  }
  w.tree(node);
  return w.ok ? 0 : -2;
}

std::unique_ptr<xmldoc> xmldoc_parse_file(const char* path) {
  struct closer {
    void operator()(FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<FILE, closer> f(std::fopen(path, "r"));
  if (f == nullptr) {
    KT_LOG_WARN("%s(): %s", "fopen()", std::strerror(errno));
    return nullptr;
  }
  buffer text;
  char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f.get())) > 0) {
    if (!text.append(chunk, static_cast<uint32_t>(got))) {
      KT_LOG_WARN("failed parse file %s", path);
      return nullptr;
    }
  }
  if (std::ferror(f.get())) {
    KT_LOG_WARN("%s(): %s", "fread()", std::strerror(errno));
    return nullptr;
  }
  auto doc = std::make_unique<xmldoc>();
  if (doc->parse(text.view()) != 0) {
    KT_LOG_WARN("failed parse file %s", path);
    return nullptr;
  }
  return doc;
}

void xmldoc_node_dump(const xmldoc_node* node) {
  if (node == nullptr) return;
  buffer out;
  writer w{out};
  w.tree(node);
  std::fwrite(out.data(), 1, out.length(), stdout);
  std::fflush(stdout);
}

}  // namespace kt

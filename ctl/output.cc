#include "output.h"

#include <algorithm>
#include <cstdio>

namespace ctl {

namespace {

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == '_') c = ' ';
  }
  return text;
}

// Control characters would break the columns (and could steer a terminal): shown as '?'.
std::string printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return out;
}

}  // namespace

std::string json_quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string render_table(const table& t) {
  if (t.rows.empty()) return "(none)\n";
  std::vector<size_t> width(t.columns.size(), 0);
  for (size_t i = 0; i < t.columns.size(); ++i) width[i] = t.columns[i].size();
  std::vector<std::vector<std::string>> cells;
  for (const auto& row : t.rows) {
    std::vector<std::string> shown;
    for (size_t i = 0; i < t.columns.size(); ++i) {
      shown.push_back(printable(i < row.size() ? row[i] : ""));
      width[i] = std::max(width[i], shown.back().size());
    }
    cells.push_back(std::move(shown));
  }
  const auto line = [&](const std::vector<std::string>& values) {
    std::string out;
    for (size_t i = 0; i < values.size(); ++i) {
      out += values[i];
      if (i + 1 < values.size()) out.append(width[i] - values[i].size() + 2, ' ');
    }
    return out + "\n";
  };
  std::vector<std::string> heading;
  for (const auto& c : t.columns) heading.push_back(upper(c));
  std::string out = line(heading);
  for (const auto& row : cells) out += line(row);
  return out;
}

std::string render_json(const table& t) {
  std::string out = "[";
  for (size_t r = 0; r < t.rows.size(); ++r) {
    out += r == 0 ? "\n  {" : ",\n  {";
    for (size_t i = 0; i < t.columns.size(); ++i) {
      if (i != 0) out += ", ";
      out += json_quote(t.columns[i]) + ": " +
             json_quote(i < t.rows[r].size() ? t.rows[r][i] : std::string());
    }
    out += "}";
  }
  out += t.rows.empty() ? "]\n" : "\n]\n";
  return out;
}

std::string render_record(const record& r) {
  size_t width = 0;
  for (const auto& [name, value] : r.fields) width = std::max(width, name.size());
  std::string out;
  for (const auto& [name, value] : r.fields) {
    out += name + ":" + std::string(width - name.size() + 1, ' ') + printable(value) + "\n";
  }
  return out;
}

std::string render_json(const record& r) {
  std::string out = "{";
  for (size_t i = 0; i < r.fields.size(); ++i) {
    out += i == 0 ? "\n  " : ",\n  ";
    out += json_quote(r.fields[i].first) + ": " + json_quote(r.fields[i].second);
  }
  out += r.fields.empty() ? "}\n" : "\n}\n";
  return out;
}

}  // namespace ctl

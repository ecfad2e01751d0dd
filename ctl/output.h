// What the commands print: aligned tables and key/value records for people, the same rows as
// JSON for scripts. Every value is a string (identifiers pass 2^53, which JSON numbers do not
// carry exactly).
#ifndef ORVANE_CTL_OUTPUT_H_
#define ORVANE_CTL_OUTPUT_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ctl {

enum class format { table, json, xml };

// Rows under named columns; the names are the JSON keys and, in capitals, the headings.
struct table {
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;

  void add(std::vector<std::string> row) { rows.push_back(std::move(row)); }
};

// One object: fields in order.
struct record {
  std::vector<std::pair<std::string, std::string>> fields;

  void add(std::string name, std::string value) {
    fields.emplace_back(std::move(name), std::move(value));
  }
};

// Columns padded to their widest cell, two blanks apart; "(none)" when there is no row.
std::string render_table(const table& t);
// An array of objects, one per row.
std::string render_json(const table& t);
// "name: value" lines, the names padded.
std::string render_record(const record& r);
// One object.
std::string render_json(const record& r);
// A JSON string literal.
std::string json_quote(std::string_view text);

}  // namespace ctl

#endif  // ORVANE_CTL_OUTPUT_H_

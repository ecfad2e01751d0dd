// Attribute records: the "attributes" file and the value files "attribute_<id>" (values longer
// than ATTRIBUTE_INLINE_VALUE bytes, created mode 0600), the loader that hangs every attribute
// on its target's table, the typed value, the XML output form, the domain settings that are read
// from the domain's own attributes, and the commands attrInsert, attrEdit, attrRemove,
// attrSearch and getAttributes.
#ifndef ORVANE_OBJECTS_ATTRIBUTES_ATTRIBUTE_RECORDS_H_
#define ORVANE_OBJECTS_ATTRIBUTES_ATTRIBUTE_RECORDS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "hashtable/hashtable.h"
#include "objects/attributes/attribute.h"
#include "utils/refobj.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

class domain;
class group;
class user;

using attribute_table = kt::hashtable<std::string, kt::ref_ptr<attribute>>;

// A new empty attribute.
kt::ref_ptr<attribute> attribute_create();

// Reads every attribute record of the domain, loads long values from their files, computes the
// typed values and inserts each attribute into its target's table. Records whose target or
// value file is missing, with an unknown target type, a duplicate identifier or a name already
// used on the target are logged and skipped. Call after every kind of target is loaded.
// Returns 0, or the store's result when the file can't be read.
int attributes_load(domain& d);

// Gives a a new identifier, writes its value file when the value is long, then its record.
// On failure nothing stays on disk, a keeps its old identifier and the result is 0x13.
uint32_t attributes_db_add(domain& d, attribute& a);
// Rewrites the value file (or deletes it for a short value) and the record of a.id: 0 or 0x13.
uint32_t attributes_db_edit(domain& d, const attribute& a);
// Deletes the value file, if any, and the record (a record already gone is no failure): 0 or
// 0x13.
uint32_t attributes_db_remove(domain& d, const attribute& a);
// attributes_db_remove for every attribute of one target's table (the table is left as it is).
// Returns 0, or 0x13 when one was refused.
uint32_t attributes_db_remove_list(domain& d, attribute_table& table);

// Computes the typed value (v_bool, v_number, v_decimal) from the value bytes.
void _attribute_value_set(attribute& a);

// The table of the target (ttype, target_id) in d, or nullptr when there is none. For targets
// other than the domain, *target (when given) receives the target object.
attribute_table* attribute_target_table(domain& d, uint8_t ttype, uint64_t target_id,
                                        kt::ref_ptr<kt::ref_object>* target);

// Appends one "a" element per attribute of the table to element (attributes id, name, flags,
// type, ttype, target; the value in its output form when not empty).
void attributes_to_xml(attribute_table& table, kt::xmldoc_node& element);
// The same into a new "attributes" element.
std::unique_ptr<kt::xmldoc_node> attributes_to_xml(attribute_table& table);
// Appends the "a" element of one attribute to parent and returns it. The full form carries id,
// name, flags, type, ttype and target; the short one (getAttributes) only id, name, flags and
// type. The value is left to the caller.
kt::xmldoc_node* attribute_xml_add(kt::xmldoc_node& parent, const attribute& a, bool full);
// The output form of the value: "1"/"0" for booleans, base64 for binaries, the bytes otherwise.
std::string attribute_value_text(const attribute& a);

// Copies the twelve settings attributes of the domain into its fields; a missing setting (or
// one of the wrong type) leaves its field at zero.
void domain_settings_load(domain& d);
// Stores the value of one settings attribute of the domain into the domain's field. Returns 1
// when a's name is a setting, 0 when it is not (nothing changed).
int domain_setting_apply(domain& d, const attribute& a);
// The value check of the settings table for an edited attribute of a setting's name: 0, or
// 0x18 (value is not valid).
uint32_t domain_setting_check(const attribute& a);

// The text with the first "${USERNAME}", "${USERID}", "${DOMAIN}", "${DOMAINID}", "${GROUP}" and
// "${GROUPID}" replaced, in that order, each step working on the result of the one before.
std::string attribute_replace_variables(std::string_view text, const domain& d, const user& u,
                                        const group& gr);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_ATTRIBUTES_ATTRIBUTE_RECORDS_H_

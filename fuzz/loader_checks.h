// Invariants of what the loaders build, checked by the loader fuzz targets. A broken invariant
// aborts the process with a message naming it.
#ifndef ORVANE_FUZZ_LOADER_CHECKS_H_
#define ORVANE_FUZZ_LOADER_CHECKS_H_

namespace orvane {
class domain;
struct globals;
}  // namespace orvane

namespace orvane_fuzz {

// Aborts with the message when ok is false.
void check(bool ok, const char* what);

// The objects of one loaded domain: every object is findable by identifier and by name under
// the key it carries, links are mirrored on both sides and point at objects of the domain's
// tables, group nesting, the resource tree and profile inclusions hold no loop, and so on.
void check_domain_objects(orvane::domain& d, orvane::globals& g);

// Runs the read paths that walk the loaded links (rights checks, the XML listings) and checks
// that every listing parses back.
void exercise_domain(orvane::domain& d);

// The domain tree after domains_load: tables agree, there is a root, and every chain of parents
// ends.
void check_domain_tree(orvane::globals& g);

}  // namespace orvane_fuzz

#endif  // ORVANE_FUZZ_LOADER_CHECKS_H_

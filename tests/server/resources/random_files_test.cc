// The loaders against random file contents: identifiers drawn from a small pool, so that
// references (parents, members, targets) sometimes resolve, sometimes dangle and sometimes loop.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "objects/attributes/attribute_records.h"
#include "objects/permissions/permission_records.h"
#include "objects/record.h"
#include "objects/resources/resource_internal.h"
#include "server/groups/domain_fixture.h"

namespace orvane {
namespace {

class RandomFilesTest : public orvane_test::domain_fixture {
 public:
  std::mt19937_64 rng{20240611};

  uint64_t pool_id() { return 1 + rng() % 12; }

  record random_record(uint32_t size) {
    record rec(size);
    for (uint32_t i = 0; i < size; ++i) rec.put_u8(i, static_cast<uint8_t>(rng()));
    return rec;
  }

  // A name field: usually short and terminated, sometimes left as random bytes.
  void name(record& rec, size_t off, size_t width) {
    if (rng() % 8 != 0) rec.put_str(off, width, "n" + std::to_string(rng() % 10));
  }

  void write(const char* file_name, uint32_t size, int count,
             const std::function<void(record&)>& shape) {
    for (int i = 0; i < count; ++i) {
      record rec = random_record(size);
      rec.put_u64(0, pool_id());
      shape(rec);
      append_bytes(file(file_name), rec.data(), rec.size());
    }
    if (rng() % 2) append_bytes(file(file_name), "tail", 1 + rng() % 4);
  }
};

TEST_F(RandomFilesTest, LoadersSurviveAnyContent) {
  for (int round = 0; round < 30; ++round) {
    std::filesystem::remove_all(path_domain_dir(kDomainId));
    auto dom = fresh_domain();
    for (uint64_t id = 1; id <= 4; ++id) add_user(*dom, "u" + std::to_string(id), id);
    write("groups", GROUP_RECORD_SIZE, 8, [&](record& r) {
      r.put_u8(8, static_cast<uint8_t>(rng() % 8));
      name(r, 9, 128);
    });
    for (uint64_t id = 1; id <= 12; ++id) {
      for (const char* kind : {"group_users_", "group_groups_"}) {
        const std::string f = kind + std::to_string(id);
        write(f.c_str(), GROUP_MEMBER_RECORD_SIZE, 3,
              [&](record& r) { r.put_u32(8, static_cast<uint32_t>(rng() % 3)); });
      }
    }
    write("resources", RESOURCE_RECORD_SIZE, 10, [&](record& r) {
      r.put_u64(11, rng() % 3 == 0 ? 0 : pool_id());
      if (rng() % 8 != 0) r.put_str(21, 128, sys_resource_names[rng() % SYS_RES_COUNT]);
    });
    write("permissions", PERMISSION_RECORD_SIZE, 12, [&](record& r) {
      r.put_u32(8, rng() % 4 == 0 ? 2 : 1);
      r.put_u64(12, pool_id());
      r.put_u32(20, static_cast<uint32_t>(rng() % 3));
      r.put_u64(24, pool_id());
    });
    write("authorityclients", NETCLIENT_RECORD_SIZE, 5, [&](record& r) {
      name(r, 8, 128);
      for (size_t s = 0; s < NETCLIENT_SLOTS; ++s) {
        if (rng() % 2) r.put_str(137 + s * 128, 128, rng() % 2 ? "10.0.0.0/8" : "::1");
      }
    });
    write("attributes", ATTRIBUTE_RECORD_SIZE, 12, [&](record& r) {
      r.put_u8(8, static_cast<uint8_t>(rng() % 6));
      r.put_u64(9, rng() % 4 == 0 ? kDomainId : pool_id());
      r.put_u32(17, static_cast<uint32_t>(rng() % 7));
      name(r, 22, 128);
      r.put_u32(150, static_cast<uint32_t>(rng() % 3 == 0 ? rng() : rng() % 200));
    });
    for (uint64_t id = 1; id <= 12; ++id) {
      if (rng() % 2) {
        const std::string f = "attribute_" + std::to_string(id);
        const std::string value(rng() % 300, 'v');
        append_bytes(file(f.c_str()), value.data(), value.size());
      }
    }

    groups_load(*dom);
    resources_load(*dom);
    permissions_load(*dom);
    netclients_load(*dom);
    attributes_load(*dom);
    domain_settings_load(*dom);
    netclients_to_xml(*dom, true);
    attributes_to_xml(dom->attributes);
    dom->users_by_id.for_each([&](uint64_t, kt::ref_ptr<user>& u) {
      dom->resources_by_id.for_each([&](uint64_t id, kt::ref_ptr<resource>&) {
        permission_check(*u, PERMISSION_TARGET_RESOURCE, id, PERM_READ);
        permission_get(*u, PERMISSION_TARGET_RESOURCE, id);
      });
    });
    // Removing every top-level resource removes everything that was loaded, unless the file is
    // damaged: the store then refuses every removal.
    const bool damaged = file_size(file("resources")) % RESOURCE_RECORD_SIZE != 0;
    std::vector<kt::ref_ptr<resource>> tops;
    dom->resources_by_id.for_each([&](uint64_t, kt::ref_ptr<resource>& r) {
      if (!r->parent) tops.push_back(r);
    });
    for (const auto& r : tops) EXPECT_EQ(_resource_remove(*dom, *r), damaged ? -4 : 0);
    if (!damaged) {
      EXPECT_EQ(dom->resources_by_id.count(), 0u);
      EXPECT_EQ(dom->resources_by_name.count(), 0u);
    }
  }
}

}  // namespace
}  // namespace orvane

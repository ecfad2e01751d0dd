#include "globals.h"

#include "network/net_thread_pool.h"
#include "objects/domains/domain.h"
#include "objects/tokens/token.h"
#include "objects/users/throttle.h"
#include "scheduler/sched_singlethread.h"
#include "sutils/openssl_ca.h"
#include "threadpool/thread_pool.h"
#include "utils/crypto.h"

namespace orvane {

globals::globals()
    : domains_by_name(10),
      domains_by_id(10),
      tokens(100),
      netclients(100),
      throttle(std::make_unique<login_throttle>()) {}
globals::~globals() = default;

}  // namespace orvane

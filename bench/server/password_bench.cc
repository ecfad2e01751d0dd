// The SHA-512 crypt string of a password (5000 rounds): libcrypt's crypt_r against the library's
// sha512_crypt, by key length, and the users module's whole NSS password form (salt drawn from
// the random source, then the crypt string). Here rather than in bench/ because it links libcrypt
// through the server's modules.
#include <benchmark/benchmark.h>
#include <crypt.h>

#include <memory>
#include <string>

#include "objects/users/user.h"
#include "objects/users/user_records.h"
#include "utils/crypto.h"

namespace {

constexpr const char* kSetting = "$6$abcdefghijklmnop$";

// range(0): key length in bytes. Up to 15 a round's message fits one block; 64 and 128 take two
// and three.
std::string key_of(const benchmark::State& state) {
  std::string key(static_cast<size_t>(state.range(0)), 'k');
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<char>('a' + i % 26);
  return key;
}

void BM_CryptR(benchmark::State& state) {
  const std::string key = key_of(state);
  auto data = std::make_unique<crypt_data>();
  for (auto _ : state) {
    const char* out = crypt_r(key.c_str(), kSetting, data.get());
    if (out == nullptr || out[0] != '$') {
      state.SkipWithError("crypt_r failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_CryptR)->Arg(8)->Arg(14)->Arg(32)->Arg(64)->Arg(128)->Unit(benchmark::kMicrosecond);

void BM_Sha512Crypt(benchmark::State& state) {
  const std::string key = key_of(state);
  char out[kt::kSha512CryptSize];
  for (auto _ : state) {
    if (kt::sha512_crypt(key, kSetting, out, sizeof out) != 0) {
      state.SkipWithError("sha512_crypt failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_Sha512Crypt)
    ->Arg(8)
    ->Arg(14)
    ->Arg(32)
    ->Arg(64)
    ->Arg(128)
    ->Unit(benchmark::kMicrosecond);

void BM_UserNssPassword(benchmark::State& state) {
  const std::string key = key_of(state);
  char out[orvane::USER_NSS_PASSWORD_SIZE];
  for (auto _ : state) {
    if (orvane::_user_password2nsspassword(key, out, sizeof out) != 0) {
      state.SkipWithError("_user_password2nsspassword failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_UserNssPassword)->Arg(14)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

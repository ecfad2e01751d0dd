// In-process dispatch of an isValidToken document: parse, dispatch, serialise.
#include <benchmark/benchmark.h>

#include "client.h"
#include "globals.h"
#include "objects/domains/domain.h"
#include "objects/tokens/token.h"
#include "processor.h"

namespace {

void BM_DispatchIsValidToken(benchmark::State& state) {
  orvane::globals g;
  auto d = kt::make_ref<orvane::domain>();
  d->id = 1;
  d->set_name("ORVANE");
  d->expire_token_sec = 1800;
  g.domains_by_name.insert_rw("ORVANE", d);
  g.domains_by_id.insert_rw(1, d);
  auto t = kt::make_ref<orvane::token>();
  t->key = "q3J9bW9ja3Rva2VuLWtleS1mb3ItYmVuY2htYXJraW5nLXB1cnBvc2VzLTEyMzQ1Ng==";
  t->dom = d;
  g.tokens.insert_rw(t->key, t);

  const std::string doc =
      "<orvane><isValidToken domain=\"ORVANE\" token=\"" + t->key + "\"/></orvane>";
  orvane::client c(g);
  kt::ipv4_parse_addr(std::string_view("127.0.0.1"), c.peer);
  kt::buffer out;
  for (auto _ : state) {
    c.request = kt::xmldoc();
    c.response = kt::xmldoc::create_def("orvane");
    c.request.parse(doc);
    orvane::client_process(c);
    out.clear();
    c.response.save(c.response.root(), out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
  g.tokens.flush();
}
BENCHMARK(BM_DispatchIsValidToken);

}  // namespace

BENCHMARK_MAIN();

// The command reader: tokenizing lines and running whole decks.
#include <benchmark/benchmark.h>

#include <memory>
#include <sstream>
#include <string>

#include "command/mainloop.hpp"
#include "command/tokens.hpp"

namespace {

void BM_GettokLine(benchmark::State& st) {
    std::istringstream in;
    std::ostringstream out, err;
    auto kp = std::make_unique<kova::Kova>(in, out, err);
    kova::Kova& k = *kp;
    const std::string text = "assi x(1:3) = 1.5e-3 $y 'quoted ''s' -42 C5' O1* + end ! comment";
    int tokens = 0;
    for (auto _ : st) {
        k.tok.line.fill(' ');
        for (size_t i = 0; i < text.size(); ++i) k.tok.line[i + 1] = text[i];
        k.tok.ilen = static_cast<int>(text.size());
        k.tok.ipos = 0;
        for (;;) {
            kova::Token t = kova::gettok(k);
            ++tokens;
            if (t.kind == kova::TokKind::linend) break;
        }
    }
    st.SetItemsProcessed(tokens);
}
BENCHMARK(BM_GettokLine);

// A loop of 1000 passes, each evaluating an expression and assigning it:
// the copy is read again from its scratch file on every pass.
void BM_WhileLoopDeck(benchmark::State& st) {
    const std::string deck =
        "assi i = 0 end\n"
        "while $i 1000 < do\n"
        "  assi i = $i 1 + end\n"
        "endwhile\n"
        "stop\n";
    for (auto _ : st) {
        std::istringstream in(deck);
        std::ostringstream out, err;
        auto k = std::make_unique<kova::Kova>(in, out, err);
        benchmark::DoNotOptimize(kova::run_kova(*k));
    }
    st.SetItemsProcessed(st.iterations() * 1000);
}
BENCHMARK(BM_WhileLoopDeck)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

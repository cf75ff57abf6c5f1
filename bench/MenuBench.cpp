// SPDX-License-Identifier: GPL-3.0-or-later
// One full menu rebuild, including its export over com.canonical.dbusmenu, on
// a private session bus. Run: build/bench/bench/orvo_bench_menu
#include "bench/BenchSupport.h"
#include "platform/StatusBar.h"
#include "src/AudioPlayer.h"
#include "src/MenuManager.h"

#include <benchmark/benchmark.h>
#include <glib.h>

namespace {

void MenuRebuildWithExport(benchmark::State& state)
{
    orvo::bench::PrivateBus bus;
    orvo::bench::TempDir config;
    g_setenv("XDG_CONFIG_HOME", config.path().c_str(), TRUE);
    auto item = orvo::platform::StatusBar::systemStatusBar().statusItemWithLength(-1);
    auto player = orvo::AudioPlayer::create();
    auto manager = orvo::MenuManager::create(item, player);
    manager->start();
    orvo::bench::drain();
    for (auto _ : state) {
        manager->rebuildMenu();
        // The export happens on the next main-loop turn.
        orvo::bench::drain();
    }
}
BENCHMARK(MenuRebuildWithExport)->Unit(benchmark::kMicrosecond)->Iterations(2000);

} // namespace

BENCHMARK_MAIN();

// The main() of a benchmark program that paints with Qt: the application object on the
// offscreen platform (unless QT_QPA_PLATFORM says otherwise), then the benchmarks.
#pragma once

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QtGlobal>

namespace zq::bench {

inline int RunQtBenchmarks(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    benchmark::Initialize(&argc, argv);  // takes its own flags out first
    QApplication app(argc, argv);        // then Qt its own
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace zq::bench

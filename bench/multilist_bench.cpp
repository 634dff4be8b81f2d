// How TMultiList scales: rows added one by one while the window keeps
// painting (as during a mailbox listing), then scrolled through page by page.
// The per-row cost must stay flat from 1k to 50k rows.
#include "ui/MultiLst.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QScrollBar>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

std::unique_ptr<TMultiList> makeList()
{
    auto list = std::make_unique<TMultiList>();
    list->setHeaderSections({u""_s, u"Größe"_s, u"Datum"_s, u"Absender"_s, u"Betreff"_s});
    const int widths[] = {25, 75, 80, 95, 75};
    for (int n = 0; n < 5; ++n)
        list->setSectionWidth(n, widths[n]);
    list->setColumnAlignment(0, Qt::AlignRight);
    list->setColumnAlignment(1, Qt::AlignRight);
    list->setItemHeight(14);
    list->setMultiSelect(true);
    list->setShowColumnLines(true);
    list->setColumnLineColor(Qt::black);
    list->resize(545, 257);
    list->show();
    QCoreApplication::processEvents();
    return list;
}

QString row(int n)
{
    return u" %1 | 12 KByte | 03.01.2000 | sender%1@example.org | Subject of message %1 |"_s.arg(n);
}

void addRows(TMultiList& list, int n)
{
    for (int i = 1; i <= n; ++i) {
        list.addItem(row(i));
        // The listing lets pending window messages run after every row.
        QCoreApplication::processEvents();
    }
}

void scrollThrough(TMultiList& list)
{
    QScrollBar* bar = list.verticalScrollBar();
    for (int v = 0; v <= bar->maximum(); v += bar->pageStep()) {
        bar->setValue(v);
        list.viewport()->repaint();
    }
}

void BM_AddRowsOneByOne(benchmark::State& state)
{
    const int n = int(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        auto list = makeList();
        state.ResumeTiming();
        addRows(*list, n);
        state.PauseTiming();
        list.reset();
        state.ResumeTiming();
    }
    state.SetComplexityN(n);
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_ScrollThrough(benchmark::State& state)
{
    const int n = int(state.range(0));
    auto list = makeList();
    addRows(*list, n);
    for (auto _ : state)
        scrollThrough(*list);
    state.SetComplexityN(n);
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_AddThenScroll(benchmark::State& state)
{
    const int n = int(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        auto list = makeList();
        state.ResumeTiming();
        addRows(*list, n);
        scrollThrough(*list);
        state.PauseTiming();
        list.reset();
        state.ResumeTiming();
    }
    state.SetComplexityN(n);
    state.SetItemsProcessed(state.iterations() * n);
}

// The delete command removes marked rows from the highest down.
void BM_DeleteEveryOtherRow(benchmark::State& state)
{
    const int n = int(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        auto list = makeList();
        for (int i = 1; i <= n; ++i)
            list->addItem(row(i));
        for (int i = 1; i <= n; i += 2)
            list->setSelected(i, true);
        state.ResumeTiming();
        for (int i = list->count() - 1; i >= 1; --i)
            if (list->isSelected(i))
                list->deleteItem(i);
        QCoreApplication::processEvents();
        state.PauseTiming();
        list.reset();
        state.ResumeTiming();
    }
    state.SetComplexityN(n);
}

BENCHMARK(BM_AddRowsOneByOne)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(BM_ScrollThrough)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(BM_AddThenScroll)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(BM_DeleteEveryOtherRow)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond)->Complexity();

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

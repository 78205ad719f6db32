// FindMatch runs once per forwarded request: 100 conditions, half of them regular expressions.
#include <benchmark/benchmark.h>

#include <string>

#include "model/search_condition.h"

namespace trovanex {
namespace {

TSearchConditionList HundredConditions() {
  TSearchConditionList list;
  for (int i = 0; i < 100; ++i) {
    auto condition = std::make_unique<TSearchCondition>();
    if (i % 2 == 0) {
      condition->SetSearchString("site" + std::to_string(i) + ".example.test/photos/");
    } else {
      condition->SetType(TSearchType::Regexp);
      condition->SetSearchString("^cdn" + std::to_string(i) + "\\.example\\.test/.*\\.(jpe?g|png)$");
    }
    condition->AppendFolder("/tmp/saved", "");
    list.Add(std::move(condition));
  }
  return list;
}

void BM_FindMatch_NoMatch(benchmark::State& state) {
  const TSearchConditionList list = HundredConditions();
  const std::string text = "www.example.test/news/2026/12/08/article.html?page=2&ref=front";
  for (auto _ : state) benchmark::DoNotOptimize(list.FindMatch(text));
}
BENCHMARK(BM_FindMatch_NoMatch)->Unit(benchmark::kMicrosecond);

void BM_FindMatch_LastCondition(benchmark::State& state) {
  const TSearchConditionList list = HundredConditions();
  const std::string text = "cdn99.example.test/a/b/c/picture.jpeg";
  if (list.FindMatch(text) != &list.Items(99)) state.SkipWithError("wrong condition matched");
  for (auto _ : state) benchmark::DoNotOptimize(list.FindMatch(text));
}
BENCHMARK(BM_FindMatch_LastCondition)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace trovanex

// The chain of clusters that one directory record starts.
#pragma once

#include <QVector>
#include <cstdint>
#include <vector>

namespace korvath {

class LeReader;

using ClusterList = QVector<uint32_t>;

// The first cluster and at most chainCount more, following links whose
// records share the first one's chainId. A link outside the directory
// (recordCount records) ends the walk and is not added.
ClusterList walkChain(const LeReader &directory, uint64_t recordCount, uint32_t firstIndex);
// The same, gathering in `scratch` (reused from walk to walk) to spare allocations.
ClusterList walkChain(const LeReader &directory, uint64_t recordCount, uint32_t firstIndex,
                      std::vector<uint32_t> &scratch);
// The same walk left in `scratch` alone: returns how many clusters it took.
size_t walkChainInto(const LeReader &directory, uint64_t recordCount, uint32_t firstIndex,
                     std::vector<uint32_t> &scratch);

} // namespace korvath

// What the benches print besides times: percentiles of their samples, and resident memory.
#pragma once

#include <algorithm>
#include <cstdio>
#include <vector>

#include <unistd.h>

// The sample at the p-th percentile (0 to 100; 100 is the largest) of the sorted samples, or 0
// when there are none.
inline double percentile(std::vector<double> samples, int p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, samples.size() * p / 100)];
}

// This process's resident memory in bytes, or 0 when /proc cannot tell.
inline long residentBytes()
{
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

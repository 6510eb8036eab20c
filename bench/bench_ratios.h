// Side by side in one run: a console reporter that also keeps each case's
// processor time and, at the end, prints our time divided by OpenSSL's for
// every pair of cases whose names differ only in the side ("ours..." beside
// "openssl...", "..._Ours" beside "..._OpenSSL"). With repetitions the
// median stands for a case.
#ifndef BENCH_BENCH_RATIOS_H
#define BENCH_BENCH_RATIOS_H

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "libtorvapp/qvcommon/qvcpu.h"

namespace benchratios {

class Reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs) {
            if (r.error_occurred)
                continue;
            std::string name = r.benchmark_name();
            if (r.run_type == Run::RT_Aggregate) {
                const std::string suffix = "_median";
                if (r.aggregate_name != "median" || name.size() < suffix.size())
                    continue;
                name.erase(name.size() - suffix.size());
            } else if (r.repetitions > 1) {
                continue;
            }
            times[name] = r.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void printRatios() const
    {
        const char* cap = std::getenv("OPENSSL_ia32cap");
        std::printf("\nour time / OpenSSL's (OPENSSL_ia32cap=%s)\n", cap != nullptr ? cap : "<unset>");
        for (const auto& t : times) {
            const std::string other = counterpart(t.first);
            auto o = times.find(other);
            if (other.empty() || o == times.end() || o->second <= 0)
                continue;
            std::printf("  %-40s %6.2f\n", t.first.c_str(), t.second / o->second);
        }
    }

    std::map<std::string, double> times;

private:
    static std::string counterpart(const std::string& name)
    {
        if (name.compare(0, 4, "ours") == 0)
            return "openssl" + name.substr(4);
        const std::size_t p = name.find("_Ours");
        if (p != std::string::npos)
            return name.substr(0, p) + "_OpenSSL" + name.substr(p + 5);
        return std::string();
    }
};

// QV_BENCH_PORTABLE=1 in the environment forces our portable code paths, to
// be compared with OpenSSL run with its processor extensions masked
// (OPENSSL_ia32cap); the ratio table names both settings.
inline void choosePaths()
{
    const char* v = std::getenv("QV_BENCH_PORTABLE");
    const bool portable = v != nullptr && *v != '\0' && *v != '0';
    qvCpuForcePortable(portable);
    std::printf("our code paths: %s\n", portable ? "portable (forced)" : "as the processor allows");
}

// Runs the registered cases and prints the ratios; flags given on the command
// line are read as usual.
inline int runWithRatios(int argc, char** argv)
{
    choosePaths();
    benchmark::Initialize(&argc, argv);
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}

} // namespace benchratios

#endif

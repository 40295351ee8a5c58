// The file locator beside the standard library:
// - listing a directory of 10,000 files: findFilesInPath against a directory_iterator with an
//   is_directory test per entry, both collecting the full names;
// - a locateFile miss through 100 search paths (three rounds for "a/b/missing.txt"), against
//   std::filesystem::exists of the same 300 candidate names.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "File/qvFileLocator.h"

namespace {

const int FILE_COUNT = 10000;
const int SEARCH_PATH_COUNT = 100;
const char* const MISSING_NAME = "a/b/missing.txt";

std::filesystem::path g_Root;

std::string listDirectory()
{
    return (g_Root / "many").string() + "/";
}

std::string searchPath(int n)
{
    return (g_Root / ("path" + std::to_string(1000 + n))).string();
}

void makeTree()
{
    std::random_device random;
    g_Root =
        std::filesystem::temp_directory_path() / ("qvFileLocatorBench." + std::to_string(random()));
    std::filesystem::create_directories(g_Root / "many");
    for (int n = 0; n < FILE_COUNT; ++n)
        std::ofstream(g_Root / "many" / ("file" + std::to_string(n) + ".txt")) << 'x';
    for (int n = 0; n < SEARCH_PATH_COUNT; ++n) {
        std::filesystem::create_directory(searchPath(n));
        qvFCSingletons::getFileLocator().addFilePath(searchPath(n) + "/");
    }
}

void BM_qvFindFilesInPath(benchmark::State& state)
{
    const std::string sstrDirectory = listDirectory();
    for (auto _ : state) {
        qvSCList<std::string> list;
        qvFileLocator::findFilesInPath(sstrDirectory, "", qvFileLocator::FILEMASK_FILES, list);
        benchmark::DoNotOptimize(list.getHead());
        if (list.getSize() != FILE_COUNT)
            state.SkipWithError("wrong number of files");
    }
    state.SetItemsProcessed(state.iterations() * FILE_COUNT);
}
BENCHMARK(BM_qvFindFilesInPath)->Unit(benchmark::kMillisecond);

void BM_stdDirectoryIterator(benchmark::State& state)
{
    const std::filesystem::path directory = listDirectory();
    for (auto _ : state) {
        std::vector<std::string> vecFiles;
        for (const std::filesystem::directory_entry& entry :
             std::filesystem::directory_iterator(directory))
            if (!entry.is_directory())
                vecFiles.push_back(entry.path().string());
        benchmark::DoNotOptimize(vecFiles.data());
        if (vecFiles.size() != FILE_COUNT)
            state.SkipWithError("wrong number of files");
    }
    state.SetItemsProcessed(state.iterations() * FILE_COUNT);
}
BENCHMARK(BM_stdDirectoryIterator)->Unit(benchmark::kMillisecond);

void BM_qvLocateFileMiss(benchmark::State& state)
{
    qvFileLocator& locator = qvFCSingletons::getFileLocator();
    std::string sstrFullPath;
    for (auto _ : state) {
        const bool bFound = locator.locateFile(MISSING_NAME, sstrFullPath);
        benchmark::DoNotOptimize(bFound);
        if (bFound)
            state.SkipWithError("found a missing file");
    }
}
BENCHMARK(BM_qvLocateFileMiss)->Unit(benchmark::kMicrosecond);

void BM_stdExistsMiss(benchmark::State& state)
{
    const std::string vecRemainders[] = {"a/b/missing.txt", "b/missing.txt", "missing.txt"};
    std::vector<std::string> vecPaths;
    for (int n = 0; n < SEARCH_PATH_COUNT; ++n)
        vecPaths.push_back(searchPath(n));
    for (auto _ : state) {
        bool bFound = std::filesystem::exists(MISSING_NAME);
        for (const std::string& sstrRemainder : vecRemainders)
            for (const std::string& sstrPath : vecPaths)
                bFound = bFound || std::filesystem::exists(sstrPath + "/" + sstrRemainder);
        benchmark::DoNotOptimize(bFound);
        if (bFound)
            state.SkipWithError("found a missing file");
    }
}
BENCHMARK(BM_stdExistsMiss)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    makeTree();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code error;
    std::filesystem::remove_all(g_Root, error);
    return 0;
}

// Costs of the foundation every operation of the suite pays: registry reads
// and writes, the cross-process write mutex, creating the index store by
// class identifier, opening and closing its database, and loading and
// unloading the module. Runs in a private tree of its own.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>

#include "indexstore/testing/ordalis_fixture.h"
#include "platform/hive_file.h"
#include "platform/hive_store.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "platform/wstring.h"
#include "shared/database_format.h"
#include "shared/itrovixreader.h"

namespace {

void RegistryReadDword(benchmark::State& state) {
  RegKey key;
  if (RegKey::Create(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Bench", &key) != 0 ||
      key.SetDword(u"Value", 7) != 0) {
    state.SkipWithError("cannot write the hive");
    return;
  }
  DWORD value = 0;
  for (auto _ : state) benchmark::DoNotOptimize(key.GetDword(u"Value", &value));
}
BENCHMARK(RegistryReadDword);

// Every write is a locked read-modify-write of the whole hive, flushed and
// renamed into place.
void RegistryWriteDword(benchmark::State& state) {
  RegKey key;
  if (RegKey::Create(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Bench", &key) != 0) {
    state.SkipWithError("cannot open the hive");
    return;
  }
  DWORD i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(key.SetDword(u"Counter", ++i));
}
BENCHMARK(RegistryWriteDword)->Unit(benchmark::kMicrosecond);

void WriteMutexAcquireRelease(benchmark::State& state) {
  NamedMutex mutex("TrovixWriteMutex");
  for (auto _ : state) {
    benchmark::DoNotOptimize(mutex.Wait(INFINITE));
    mutex.Release();
  }
}
BENCHMARK(WriteMutexAcquireRelease);

void WriteMutexReenter(benchmark::State& state) {
  NamedMutex mutex("TrovixWriteMutex");
  if (mutex.Wait(INFINITE) != WAIT_OBJECT_0) return state.SkipWithError("no mutex");
  for (auto _ : state) {
    benchmark::DoNotOptimize(mutex.Wait(INFINITE));
    mutex.Release();
  }
  mutex.Release();
}
BENCHMARK(WriteMutexReenter);

// Object creation with the module already loaded (the indexer's per-task
// pattern).
void CreateObject(benchmark::State& state) {
  ComInit com;
  ComPtr<ITrovixDB> keep;
  if (FAILED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                              keep.put_void()))) {
    return state.SkipWithError("cannot create the index store");
  }
  for (auto _ : state) {
    ComPtr<ITrovixDB> db;
    benchmark::DoNotOptimize(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_ITrovixDB, db.put_void()));
  }
}
BENCHMARK(CreateObject)->Unit(benchmark::kMicrosecond);

void InitCleanup(benchmark::State& state) {
  ComInit com;
  ComPtr<ITrovixDB> db;
  if (FAILED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                              db.put_void()))) {
    return state.SkipWithError("cannot create the index store");
  }
  for (auto _ : state) {
    if (db->Init() != S_OK || db->Cleanup() != S_OK) return state.SkipWithError("Init failed");
  }
}
BENCHMARK(InitCleanup)->Unit(benchmark::kMicrosecond);

// The panel's pattern: initialise, create, Init, release, uninitialise, so
// the module is loaded and unloaded around every operation.
void LoadInitUnload(benchmark::State& state) {
  for (auto _ : state) {
    ComInit com;
    ComPtr<ITrovixDB> db;
    if (FAILED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                                db.put_void())) ||
        db->Init() != S_OK) {
      return state.SkipWithError("cannot create the index store");
    }
  }
}
BENCHMARK(LoadInitUnload)->Unit(benchmark::kMicrosecond);

// A searching process's open and close steps: no counter is loaded or
// saved, so the user's hive is not rewritten.
void OpenCloseForReading(benchmark::State& state) {
  ComInit com;
  ComPtr<ITrovixReader> reader;
  if (FAILED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixReader,
                              reader.put_void()))) {
    return state.SkipWithError("cannot create the index store");
  }
  for (auto _ : state) {
    if (reader->OpenForReading() != S_OK || reader->CloseForReading() != S_OK) {
      return state.SkipWithError("OpenForReading failed");
    }
  }
}
BENCHMARK(OpenCloseForReading)->Unit(benchmark::kMicrosecond);

// Parsing the machine hive of an installation (the modules and file types
// registered), which every process does once at its first registry call.
void ParseMachineHive(benchmark::State& state) {
  trovix::LoadedHive loaded;
  if (trovix::LoadHive(trovix::HiveId::kMachine, &loaded) != ERROR_SUCCESS) {
    return state.SkipWithError("cannot load the machine hive");
  }
  const std::string text = trovix::SerializeHive(*loaded.hive);
  for (auto _ : state) {
    trovix::Hive hive("HKEY_LOCAL_MACHINE");
    trovix::HiveParseError error;
    if (!trovix::ParseHive(text, &hive, &error)) return state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(hive);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetLabel(std::to_string(text.size()) + " bytes");
}
BENCHMARK(ParseMachineHive)->Unit(benchmark::kMicrosecond);

// A read of a value from a hive written a moment ago, as the first reads
// after saving the counters are: the file's identity is too young to trust.
void RegistryReadAfterAWrite(benchmark::State& state) {
  RegKey key;
  if (RegKey::Create(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Bench", &key) != 0) {
    return state.SkipWithError("cannot open the hive");
  }
  DWORD value = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (key.SetDword(u"Fresh", static_cast<DWORD>(state.iterations())) != 0) {
      return state.SkipWithError("cannot write the hive");
    }
    state.ResumeTiming();
    for (int i = 0; i < 10; ++i) benchmark::DoNotOptimize(key.GetDword(u"Value", &value));
  }
  state.SetLabel("10 reads");
}
BENCHMARK(RegistryReadAfterAWrite)->Unit(benchmark::kMicrosecond);

void Utf8ToUtf16Text(benchmark::State& state) {
  std::string text;
  while (text.size() < 64 * 1024) text += "Grüße aus Köln, naïve café — ordinary ASCII words too. ";
  for (auto _ : state) benchmark::DoNotOptimize(Utf8ToUtf16(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(Utf8ToUtf16Text);

}  // namespace

int main(int argc, char** argv) {
#if !defined(__OPTIMIZE__) || !defined(NDEBUG)
  std::fprintf(stderr,
               "warning: built without optimisation or with assertions on; "
               "figures are not representative\n");
#endif
  trovix::testing::PrivateTree tree;
  // The module and both filters with their file types: a machine hive of
  // the size an installation has.
  if (FAILED(ordalis::testing::RegisterBuiltModule()) ||
      FAILED(ordalis::testing::RegisterBuiltTextFilter()) ||
      FAILED(ordalis::testing::RegisterBuiltDocFilter())) {
    std::fprintf(stderr, "cannot register %s\n", ordalis::testing::BuiltModulePath().c_str());
    return 1;
  }
  const std::string path = trovix::DefaultDatabaseLocation().path;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  if (FAILED(trovix::CreateDatabase(path))) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

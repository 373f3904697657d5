// Test support for the index store: a private tree with a registered module
// and, on request, a fresh database at the default location.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/com.h"
#include "platform/testing/private_tree.h"
#include "shared/itrovixdb.h"

namespace ordalis::testing {

// The module as built, and the test client program beside the tests.
std::string BuiltModulePath();
std::string ClientProgramPath();

// Registers the built module into the private machine hive through its own
// DllRegisterServer (loaded and unloaded again).
HRESULT RegisterBuiltModule();

// Registers the built plain-text filter module and the plain-text file
// types, as trovix-setup does, so that IndexFile can read .txt files.
HRESULT RegisterBuiltTextFilter();
// The same for the built document filter module and the markup file types.
// The filter finds its helper through TROVIX_FILTERHOST, which the caller
// sets.
HRESULT RegisterBuiltDocFilter();

// Everything a program needs to use the built index store in the current
// private tree: the module and the text filter registered, a new database at
// the default location (its path in `*database`).
HRESULT PrepareBuiltStore(std::string* database);
// A new index store object with the database opened; empty on failure. The
// calling thread must be initialised.
ComPtr<ITrovixDB> OpenStore();

// True while the module is mapped into this process.
bool ModuleIsLoaded();

class OrdalisTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The default database path of the private tree, created when `create`.
  std::string DatabasePath() const;
  void CreateDatabaseFile();
  // A new object of class `clsid` (this thread is initialised by SetUp).
  ComPtr<ITrovixDB> Create(const CLSID& clsid = CLSID_TrovixDB);

  std::optional<trovix::testing::PrivateTree> tree_;
  std::optional<ComInit> com_;
};

// An OrdalisTest with the text filter registered and a new database open in
// `db_` (Init in SetUp, Cleanup in TearDown). Subclasses release the
// interfaces they asked `db_` for before calling TearDown.
class OpenedStoreTest : public OrdalisTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes `text` to `relative` below the home folder, catalogues and
  // indexes it; its file identifier.
  INT AddIndexed(const std::string& relative, const std::string& text);

  ComPtr<ITrovixDB> db_;
};

}  // namespace ordalis::testing

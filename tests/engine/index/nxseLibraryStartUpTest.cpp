// Each library's counted start-up: started twice and finalised twice it
// raises nothing and leaves nothing registered (the sanitizer build checks
// that nothing leaks), and the first start-up starts the libraries below.
#include <gtest/gtest.h>

#include "nxsdDataDictionary.h"
#include "nxsdFilterEngineBase.h"
#include "nxseIndexLibrary.h"
#include "nxsrFieldMapper.h"
#include "nxsrIndexEngineBase.h"
#include "nxsrMappingLibrary.h"
#include "nxsrStorageLibrary.h"
#include "nxsrSubEngineBase.h"

namespace {

std::size_t sizeOf(TnxClassList aList) { return aList ? aList->size() : 0; }

// What a library registers at start-up: zero when it does not run.
std::size_t dictionaryClasses() { return sizeOf(TnxBaseFilterEngine::GetList()); }
std::size_t storageClasses() { return sizeOf(TnxBaseRecordEngine::GetList()); }
std::size_t mappingClasses() { return sizeOf(TnxBaseFieldMapperEngine::GetList()); }
std::size_t indexClasses() { return sizeOf(TnxBaseIndexEngine::GetList()); }

struct Library {
  const char* name;
  void (*start)();
  void (*finish)();
  std::size_t (*registered)();
};

const Library kLibraries[] = {
    {"dictionary", nxsdDataDictionaryInitialize, nxsdDataDictionaryFinalize, dictionaryClasses},
    {"storage", nxsrStorageLibraryInitialize, nxsrStorageLibraryFinalize, storageClasses},
    {"mapping", nxsrMappingLibraryInitialize, nxsrMappingLibraryFinalize, mappingClasses},
    {"index", nxseIndexLibraryInitialize, nxseIndexLibraryFinalize, indexClasses},
};

TEST(LibraryStartUp, StartedTwiceAndFinalisedTwiceLeavesNothing) {
  for (const Library& l : kLibraries) {
    SCOPED_TRACE(l.name);
    ASSERT_EQ(l.registered(), 0u) << "running before the test";
    ASSERT_NO_THROW(l.start());
    const std::size_t classes = l.registered();
    EXPECT_GT(classes, 0u);
    ASSERT_NO_THROW(l.start());
    EXPECT_EQ(l.registered(), classes);
    ASSERT_NO_THROW(l.finish());
    EXPECT_EQ(l.registered(), classes) << "the first of two finalisations undid the start-up";
    ASSERT_NO_THROW(l.finish());
    EXPECT_EQ(l.registered(), 0u);
    // And it starts again.
    ASSERT_NO_THROW(l.start());
    EXPECT_EQ(l.registered(), classes);
    l.finish();
    EXPECT_EQ(l.registered(), 0u);
  }
}

TEST(LibraryStartUp, TheIndexLibraryStartsAndFinalisesTheLibrariesBelow) {
  nxseIndexLibraryInitialize();
  for (const Library& l : kLibraries) EXPECT_GT(l.registered(), 0u) << l.name;
  // A lower library started on its own meanwhile keeps running after the
  // index library is finalised.
  nxsrStorageLibraryInitialize();
  nxseIndexLibraryFinalize();
  EXPECT_EQ(indexClasses(), 0u);
  EXPECT_EQ(mappingClasses(), 0u);
  EXPECT_GT(storageClasses(), 0u);
  EXPECT_GT(dictionaryClasses(), 0u);
  nxsrStorageLibraryFinalize();
  for (const Library& l : kLibraries) EXPECT_EQ(l.registered(), 0u) << l.name;
}

}  // namespace

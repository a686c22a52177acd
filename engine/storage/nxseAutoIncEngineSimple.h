// The auto-increment engine ("nx1xDefault" in the auto-increment family):
// one unsigned 32-bit counter, little-endian, in a 4-byte header section of
// the table's file. The section holds the last value handed out; a new table
// stores initial value - step (modulo 2^32), so the first value handed out
// is the initial value.
// Initial value and step come from a TnxAdvAutoIncDescriptor, otherwise both
// are 1. The engine runs within one transaction of one table at a time.
#pragma once

#include <cstdint>

#include "nxsrSubEngineBase.h"

NX_DECLARE_EXCEPTION(EnxseAutoIncEngineException, EnxBaseAutoIncEngineException)

class TnxSimpleAutoIncEngine : public TnxBaseAutoIncEngine {
  PL_CLASS_INFO_DECL()
 public:
  // With aTrans (a new table) the section is created and set to the start
  // state; without one it is looked up.
  TnxSimpleAutoIncEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans, const TnxBlockAccessArray& aFiles);

  // The value after the stored one, stored; aCurrentAutoInc (when given)
  // receives the value stored before. 9731 when the counter would pass
  // 4294967295 (the stored value is then unchanged).
  std::uint32_t NextAutoIncValue(TnxBaseTransaction* aTrans, std::uint32_t* aCurrentAutoInc) override;
  std::uint32_t ReadAutoIncValue(TnxBaseTransaction* aTrans) override;
  // Stores aValue as it is (no check that the counter grows).
  void SetAutoIncValue(TnxBaseTransaction* aTrans, std::uint32_t aValue) override;

  std::uint16_t aieHeaderSection = 0;
  std::uint32_t aieInitialValue = 1;
  TnxAutoIncStepRange aieStep = 1;
};

// Registers the engine under "nx1xDefault" (module start-up) and removes it.
void nxseAutoIncEngineSimpleInitialize();
void nxseAutoIncEngineSimpleFinalize();

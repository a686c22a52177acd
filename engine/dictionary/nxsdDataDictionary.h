// The data dictionary module: the descriptors that say what a table is made
// of. Callers include this header only. The implementation is split by
// descriptor family, each with its own header and source file:
//   nxsdDataDictionaryItems    the item base, files, custom and locale descriptors
//   nxsdDataDictionaryFields   fields, default values and the record buffer
//   nxsdDataDictionaryStorage  storage engine descriptors
//   nxsdDataDictionaryKeys     key, key field and index descriptors
//   nxsdDataDictionaryIndices  indices lists, validations, custom descriptor lists
//   nxsdDataDictionaryTables   table levels, nested tables, the data dictionary
// They share the private nxsdDataDictionaryInt.h (helpers and the families'
// start-up functions). Descriptor families still to come go into modules of
// their own names.
//
// Start-up: nxsdDataDictionaryInitialize runs the dictionary's start-up table
// forward (the base library first, then each family registers its classes in
// its own registries, then the filter modules start), then reads the
// "Disable30900LocaleFixes" switch;
// nxsdDataDictionaryFinalize runs the table backward (each family unregisters
// its classes and frees its registries). Both are counted with the
// interlocked use count; only the first start-up and the last finalisation do
// the work.
#pragma once

#include <span>

#include "nxsdDataDictionaryFields.h"
#include "nxsdDataDictionaryItems.h"
#include "nxsdDataDictionaryKeys.h"
#include "nxsdDataDictionaryStorage.h"
#include "nxsdDataDictionaryIndices.h"
#include "nxsdDataDictionaryTables.h"

// ---------------------------------------------------------------------------
// Start-up and finalisation (counted). aArguments: the command line to search
// for the switch; without, the program's own.
void nxsdDataDictionaryInitialize();
void nxsdDataDictionaryInitialize(std::span<const nxString> aArguments);
void nxsdDataDictionaryFinalize();

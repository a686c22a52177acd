// Exception conversion at a server call boundary: any raised object becomes
// a result code, the calling thread's pending message receives the full text
// (message, custom infos and the describing object's exception data as
// markers), and an optional log gets one line. The caller rebuilds an equal
// exception in the same thread with EnxBaseException(code).
//
// Codes: an engine exception keeps its code (0 becomes 15520 with its
// message); platform::OsError 11047; platform::OutOfMemory and
// std::bad_alloc 9473 with no text (the standard text then applies); every
// other object 15521 "Unexpected exception object raised: [class] message".
// Never fails. Touches only the calling thread's pending state.
#pragma once

#include <cstdint>
#include <exception>

#include "nxllTypes.h"
#include "plObject.h"

class TnxBaseLog;

// aDataSource: an object that implements InxExceptionData adds its debug
// info; anything else (or null) adds nothing. aPeerVersion 0: the thread's
// minimum version.
TnxResult nxConvertException(const std::exception& aException, TnxBaseLog* aLog, platform::TObject* aDataSource,
                             std::int32_t aPeerVersion);
// Any raised object, also one outside the std::exception family (use in
// catch (...) with std::current_exception()).
TnxResult nxConvertException(std::exception_ptr aException, TnxBaseLog* aLog, platform::TObject* aDataSource,
                             std::int32_t aPeerVersion);

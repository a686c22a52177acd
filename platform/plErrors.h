// Failures of the runtime layer. The engine's own failures derive from
// EnxBaseException; these stand for the original runtime library's errors
// (conversion, range, variant type, out of memory, invalid pointer), which the
// engine's exception conversion turns into result codes.
#pragma once

#include <stdexcept>
#include <string>

namespace platform {

class RuntimeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Text or value that cannot be converted (EConvertError).
class ConvertError : public RuntimeError {
 public:
  using RuntimeError::RuntimeError;
};

// Value outside the target's range (ERangeError / EVariantOverflowError).
class RangeError : public RuntimeError {
 public:
  using RuntimeError::RuntimeError;
};

// Variant of a kind that cannot be converted to the requested kind (EVariantTypeCastError).
class VariantTypeError : public RuntimeError {
 public:
  using RuntimeError::RuntimeError;
};

// Division by zero, overflow or invalid operation in arithmetic.
class ArithmeticError : public RuntimeError {
 public:
  using RuntimeError::RuntimeError;
};

// The runtime's out-of-memory failure (runtime error 203).
class OutOfMemory : public RuntimeError {
 public:
  OutOfMemory() : RuntimeError("Out of memory") {}
};

// A failed internal consistency check: a programming error, never bad input.
// The text names the check, the module and the line.
class AssertionFailed : public RuntimeError {
 public:
  using RuntimeError::RuntimeError;
};

// The runtime's invalid-pointer failure (runtime error 204).
class InvalidPointer : public RuntimeError {
 public:
  InvalidPointer() : RuntimeError("Invalid pointer operation") {}
};

// An operating-system call failed; code is errno.
class OsError : public RuntimeError {
 public:
  OsError(int code, const std::string& what) : RuntimeError(what), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

}  // namespace platform

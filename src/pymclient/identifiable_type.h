// The root of the program's run-time type tests: an empty base with a virtual destructor, so that
// a pointer to it can be asked what it really is.
#pragma once

class IdentifiableType {
 public:
  IdentifiableType() = default;
  IdentifiableType(const IdentifiableType&) = default;
  IdentifiableType& operator=(const IdentifiableType&) = default;
  virtual ~IdentifiableType() = default;
};

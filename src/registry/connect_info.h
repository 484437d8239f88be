// Rules on the caller's DbConnectInfo records and cache fractions.
#ifndef DEMBASE_REGISTRY_CONNECT_INFO_H_
#define DEMBASE_REGISTRY_CONNECT_INFO_H_

#include "dembase/dembase.h"

namespace dembase {

// Two records name the same data set when dataSet and connectArg1..3 are equal ignoring
// ASCII case and connectKind is equal. Fields are compared within their own size, so a
// field without a terminating zero is never read past.
bool SameConnection(const DbConnectInfo& a, const DbConnectInfo& b);

// Every text field ends inside its own size. The database library receives the fields as
// C strings, so an unterminated one is refused rather than read past.
bool ConnectInfoIsTerminated(const DbConnectInfo& info);

// The share of physical memory a data set's cache may take: 0.125 .. 0.5, and 0.125 for NaN.
float ClampCacheFraction(float fraction);

}  // namespace dembase

#endif  // DEMBASE_REGISTRY_CONNECT_INFO_H_

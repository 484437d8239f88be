// Every operator new of the test program counted, so that a test can make the nth one
// throw std::bad_alloc as memory exhaustion does. Link counted_new.cc into the test.
#ifndef DEMBASE_TESTS_SUPPORT_COUNTED_NEW_H_
#define DEMBASE_TESTS_SUPPORT_COUNTED_NEW_H_

#include <cstdint>

namespace dembase::testing {

// The nth operator new from now on throws; 0 disables. Resets NewFaultFired.
void FailNthNew(int64_t n);
bool NewFaultFired();

}  // namespace dembase::testing

#endif  // DEMBASE_TESTS_SUPPORT_COUNTED_NEW_H_

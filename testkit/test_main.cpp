// The unit suites' main: the router's locks exist from process attach on, as
// in the shipped module.
#include <gtest/gtest.h>

#include "module/entrypoints.h"
#include "calls/init.h"

int main(int argc, char **argv) {
  tokenhub::routerProcessAttach();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

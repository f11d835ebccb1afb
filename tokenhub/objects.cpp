// Object handle table.
#include "objects.h"

#include <cstring>

namespace tokenhub {

ObjectTable objects;

void clearObjectTable() { std::memset(&objects, 0, sizeof objects); }

}  // namespace tokenhub

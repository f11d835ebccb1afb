// What the session and object tables have in common: fixed arrays of rows
// in which a router handle of 0 marks a free row, and a 32-bit counter that
// issues the handles.
#pragma once
#include <cstdint>

namespace tokenhub {

// The first row that satisfies `match`, or null.
template <typename Row, unsigned N, typename Match>
Row *findRow(Row (&rows)[N], Match match) {
  for (Row &row : rows)
    if (match(row)) return &row;
  return nullptr;
}

template <typename Row, unsigned N>
Row *rowWithHandle(Row (&rows)[N], uint32_t handle) {
  return handle == 0 ? nullptr : findRow(rows, [handle](const Row &row) { return row.routerHandle == handle; });
}

// The next handle after `last`. 0 is never issued, and once the counter has
// passed its largest value a handle that a row still holds is skipped, so a
// long-lived process never gives out a handle twice at the same time.
template <typename Row, unsigned N>
uint32_t nextHandle(uint32_t &last, bool &wrapped, Row (&rows)[N]) {
  for (;;) {
    if (++last == 0) {
      wrapped = true;
      continue;
    }
    if (!wrapped || !rowWithHandle(rows, last)) return last;
  }
}

}  // namespace tokenhub

#pragma once

#include <sqlite3ext.h>

// The range checksums of the offline copy, as SQL functions:
//   velix_ranges(key, 'b1,b2,...', '0110...', c1, ..., cn)   aggregate
//     per range of key (below b1, from b1 below b2, ..., from the last bound
//     on; -1 for a NULL key): "range rows checksum" lines, one per range that
//     holds rows. The checksum is the sum of CRC32(CONCAT_WS(X'1F', c1, ...,
//     cn, null masks)) over the range's rows, the value a MySQL-family server
//     gives for the same values; the third argument marks the nullable columns,
//     whose NULLs the masks record. A sum, not an XOR: CRC32 is linear, so
//     the XOR of two rows of one length that change alike (a count reset on
//     every card) would not change.
//   velix_bounds(key, rows)   aggregate
//     every rows-th distinct key value in order, comma-separated: the bounds
//     of ranges of about that many rows.
int RegisterChecksumFunctions(sqlite3* db);

#pragma once

#include "access/CardInputs.hpp"

namespace db {
class TODBC;
}

namespace cardaccess {

// Loads what a card decision judges by. On a server database it first locks
// the rows the decision may change (the card's and its group's), then reads
// everything in one joined query; on SQLite, or where the site's schema does
// not fit the join, row by row, only as far as the checks go. Both loaders
// bring the same rows; the rules that pick among them (the device text's
// row, the ranges open today) are the decision's, in C++. A statement that
// failed leaves its part empty (logged by the binding); a conflict or a lost
// connection shows on the binding and the caller runs the decision again or
// decides without the site. Inside the decision's transaction; never throws.
TCardInputs LoadCardInputs(db::TODBC& database, const TCardKey& key);

} // namespace cardaccess

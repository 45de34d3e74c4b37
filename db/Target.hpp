#pragma once

namespace db {

class TODBC;

// Where an event's decision reads its rows and writes its changes: the site
// database, or the offline copy, whose writes wait in the journal until the
// site has them. Passed to each decision; no decision swaps a database.
struct TTarget {
    TODBC& Database;
    // The copy: counts change relatively (the site may have moved on by the
    // replay) and times are the decision's own, not the replay's.
    bool Journalled = false;
};

} // namespace db

// Ticket and card texts from devices: barcodes in every form, spitter issue
// records, reader memory records and printer status values.
#include "access/BarcodeDate.hpp"
#include "access/CardCheck.hpp"
#include "loop/Tickets.hpp"

#include "FuzzInput.hpp"

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto text = fuzz::Text(data, size);
    const platform::TDateTime now = platform::EncodeDate(2026, 12, 9) + 0.5;
    for (const bool oldFormat : {false, true}) {
        const double date = cardaccess::BarcodeDate(text, oldFormat, now);
        fuzz::Require(std::isfinite(date));
        if (date > 0)
            loop::TicketTimeText(date);
    }
    if (const auto record = loop::SplitIssueRecord(text)) {
        fuzz::Require(record->Barcode.size() == 10 && !record->Ticket.empty());
        loop::TicketTimeText(cardaccess::TwoYearDate(std::string_view(record->Barcode).substr(0, 8), now));
        loop::BarcodeLane(record->Barcode);
    }
    if (const auto t = cardaccess::MemoryRecordTime(std::string(text), now))
        fuzz::Require(std::isfinite(*t) && *t > 0);
    const auto words = loop::ParsePrinterValue(text);
    for (const int word : {words.First, words.Second}) {
        loop::PrinterStatusText(word);
        const auto columns = loop::PrinterColumns(word);
        fuzz::Require(columns.Paper >= 0 && columns.Paper <= 3 && columns.Hardware <= 1 && columns.Fail <= 1);
    }
    return 0;
}

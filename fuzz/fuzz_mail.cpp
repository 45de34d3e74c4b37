// Recipient lists and message texts: whatever the settings file or a card
// holder's name holds, the message keeps its header and its one body line.
#include "mail/Mail.hpp"

#include "FuzzInput.hpp"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto text = std::string(fuzz::Text(data, size));
    for (const auto& item : mail::SplitRecipients(text)) {
        fuzz::Require(!item.empty());
        mail::EnvelopeAddress(item);
    }
    const mail::TMail notice{.Server = "127.0.0.1", .Port = 25, .From = text, .Recipients = text,
                             .Subject = text, .Body = text};
    const std::string message = mail::BuildMessage(notice, text);
    // Line ends only as CR LF pairs, one blank line, at most one line after it.
    std::size_t lines = 0, blank = 0;
    for (std::size_t i = 0; i < message.size(); ++i) {
        if (message[i] == '\n')
            fuzz::Require(i > 0 && message[i - 1] == '\r');
        if (message[i] == '\r') {
            fuzz::Require(i + 1 < message.size() && message[i + 1] == '\n');
            ++lines;
            if (i >= 2 && message[i - 1] == '\n')
                ++blank;
        }
    }
    fuzz::Require(blank == 1);
    const auto body = message.find("\r\n\r\n");
    fuzz::Require(body != std::string::npos &&
                  std::count(message.begin() + static_cast<long>(body) + 4, message.end(), '\n') <= 1);
    return 0;
}

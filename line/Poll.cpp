#include "line/Poll.hpp"

#include "config/MessLog.hpp"
#include "line/Card.hpp"
#include "line/Frame.hpp"
#include "line/Protocol.hpp"
#include "line/ReplyText.hpp"
#include "platform/LocalTime.hpp"
#include "platform/Metrics.hpp"
#include "platform/SiteState.hpp"

#include <algorithm>
#include <condition_variable>

namespace line {
namespace {

using TClock = std::chrono::steady_clock;

// Replies of other devices one window takes before it gives up on its own.
constexpr int kForeignRepliesPerWindow = 4;
constexpr auto kForeignLogPeriod = std::chrono::minutes(1);

} // namespace

TPoll::TPoll(TCard& card, platform::TMainLoop& mainLoop, const TLineEvents& events)
    : m_card(card), m_dispatcher(mainLoop, events, card.PromptDispatch, card.MessageLog())
{
    const int hour = platform::LocalNow().Hour;
    for (auto& s : m_state)
        s.LastStampHour = hour;
}

TPoll::~TPoll()
{
    m_thread.request_stop();
    if (m_thread.joinable())
        m_thread.join();
    m_dispatcher.Stop();
}

std::optional<std::string> TPoll::OpenPort(int portNumber)
{
    m_portPath = platform::SerialPortPath(portNumber);
    if (auto error = m_port.Open(m_portPath, m_card.Baud.load()))
        return error;
    m_port.Purge();
    TouchMetrics();
    m_thread = std::jthread([this](std::stop_token stop) {
        platform::RunGuarded("poll " + m_portPath, stop, [this](std::stop_token s) { Run(s); }, FailureReport());
    });
    return std::nullopt;
}

void TPoll::TouchMetrics()
{
    auto& metrics = platform::Metrics();
    for (const char* name : {"velixcard_polls_total", "velixcard_replies_total", "velixcard_missed_replies_total",
                             "velixcard_crc_errors_total", "velixcard_commands_queued_total",
                             "velixcard_command_queue_depth", "velixcard_events_dispatched_total",
                             "velixcard_events_dropped_total"})
        metrics.Touch(name, LineLabels());
    for (int address = std::max(m_card.FirstReader(), 1); address <= std::min(m_card.LastReader(), kMaxAddress); ++address)
        metrics.Touch("velixcard_foreign_replies_total",
                      {{"loop", std::to_string(m_card.LoopId)}, {"address", std::to_string(address)}});
}

TQueueResult TPoll::QueueCommand(int address, char letter, std::string_view payload)
{
    if (address < m_card.FirstReader() || address > m_card.LastReader())
        return TQueueResult::OutOfRange;
    std::string text(1, letter);
    text.append(payload);
    std::scoped_lock lock(m_queueLock);
    const bool queued = m_queue.Push(TCommand{address, std::move(text)});
    if (queued)
        platform::Metrics().Add("velixcard_commands_queued_total", LineLabels());
    platform::Metrics().Set("velixcard_command_queue_depth", LineLabels(), static_cast<double>(m_queue.Size()));
    return queued ? TQueueResult::Queued : TQueueResult::Full;
}

std::string TPoll::LastPayload()
{
    std::scoped_lock lock(m_queueLock);
    return m_lastPayload;
}

bool TPoll::Online(int address) const
{
    return address >= 0 && address <= kMaxAddress && m_state[static_cast<std::size_t>(address)].Online;
}

void TPoll::Post(TEventKind kind, int address, std::string value, bool comstat)
{
    TEventValues v;
    v.Reader = static_cast<std::int16_t>(address);
    v.Comstat = comstat;
    v.Value = std::move(value);
    platform::Metrics().Add(m_dispatcher.Post(kind, v) ? "velixcard_events_dispatched_total" : "velixcard_events_dropped_total",
                            LineLabels());
}

bool TPoll::SendFrame(int address, std::string_view data)
{
    if (const int turnAround = m_card.TurnAround.load(); turnAround > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(turnAround));
    const auto frame = BuildFrame(m_card.PayOnFoot.load() ? kPayOnFootStart : kStx, address, data);
    const bool ok = m_port.WriteAll(frame);
    if (ok)
        m_replyBase = TClock::now() + std::chrono::milliseconds(static_cast<long>(frame.size()) +
                                                               m_card.RespDelay.load());
    Post(TEventKind::CommStatus, address, std::string(), ok);
    return ok;
}

std::optional<std::uint8_t> TPoll::ReadOneByte()
{
    const auto base = m_replyBase.value_or(TClock::now());
    m_replyBase.reset();
    return m_port.ReadByte(base + std::chrono::milliseconds(m_card.OffLineDelay.load()));
}

platform::TFailureReport TPoll::FailureReport() const
{
    config::TMessLog* log = m_card.MessageLog();
    return log ? config::ThreadFailureLogger(*log) : platform::TFailureReport();
}

platform::TMetrics::TLabels TPoll::LineLabels() const
{
    return {{"loop", std::to_string(m_card.LoopId)}};
}

void TPoll::PublishOnline(int address, bool online)
{
    platform::Metrics().Set("velixcard_device_online",
                            {{"loop", std::to_string(m_card.LoopId)},
                             {"address", std::to_string(address)},
                             {"device", platform::SiteState().DeviceName(m_card.LoopId, address)}},
                            online ? 1 : 0);
    platform::SiteState().SetOnline(m_card.LoopId, address, online);
}

bool TPoll::ReadReply(int address, std::string& reply)
{
    TReplyAssembler assembler;
    int foreign = 0;
    for (;;) {
        const auto byte = ReadOneByte();
        if (!byte)
            return false;
        switch (assembler.Feed(*byte)) {
        case TReplyAssembler::TStep::More:
            continue;
        case TReplyAssembler::TStep::Bad:
            platform::Metrics().Add("velixcard_crc_errors_total", LineLabels());
            return false;
        case TReplyAssembler::TStep::Done:
            if (ReplyIsFrom(assembler.Text(), address)) {
                reply = assembler.Text();
                return true;
            }
            // A device answering late, in another's window: not this device's
            // answer, and the window goes on for it.
            NoteForeignReply(address, ClaimedAddress(assembler.Text()));
            if (++foreign == kForeignRepliesPerWindow)
                return false;
            assembler = TReplyAssembler{};
            continue;
        }
    }
}

void TPoll::NoteForeignReply(int polled, int claimed)
{
    platform::Metrics().Add("velixcard_foreign_replies_total",
                            {{"loop", std::to_string(m_card.LoopId)}, {"address", std::to_string(claimed)}});
    const auto now = TClock::now();
    if (m_foreignLoggedAt && now - *m_foreignLoggedAt < kForeignLogPeriod)
        return;
    m_foreignLoggedAt = now;
    if (config::TMessLog* log = m_card.MessageLog())
        log->LogFmt(config::TLevel::Warning, "Reply from address %d during the poll of address %d ignored", claimed, polled);
}

bool TPoll::Transact(int address, int attempts, std::string& reply, std::string_view data)
{
    bool ok = false;
    int sent = 0;
    for (; sent < attempts && !ok; ++sent) {
        m_port.Purge();
        SendFrame(address, data);
        ok = ReadReply(address, reply);
    }
    platform::Metrics().Add("velixcard_polls_total", LineLabels(), sent);
    platform::Metrics().Add(ok ? "velixcard_replies_total" : "velixcard_missed_replies_total", LineLabels());
    if (address < 0 || address > kMaxAddress)
        return ok;
    TAddressState& s = m_state[static_cast<std::size_t>(address)];
    if (s.FirstContact) {
        s.FirstContact = false;
        PublishOnline(address, ok);
        if (ok) {
            s.Online = true;
            s.Failures = 0;
            Post(TEventKind::PowerUp, address);
            Post(TEventKind::ErrorEx, address, std::string(), true);
        } else {
            s.Online = false;
            Post(TEventKind::Error, address);
        }
        return ok;
    }
    if (s.Online && !ok) {
        if (++s.Failures >= protocol::kOffLineAfterMisses) {
            s.Online = false;
            PublishOnline(address, false);
            Post(TEventKind::Error, address);
        }
    } else if (ok) {
        s.Failures = 0;
    }
    if (!s.Online && ok) {
        s.Online = true;
        PublishOnline(address, true);
        Post(TEventKind::PowerUp, address);
        Post(TEventKind::ErrorEx, address, std::string(), false);
    }
    return ok;
}

std::string TPoll::PollText(int address)
{
    TAddressState& s = m_state[static_cast<std::size_t>(address)];
    std::string text(1, protocol::kGeneralPoll);
    bool general = true;
    if (!m_card.NoCounters.load() && ++s.CounterTicks > protocol::kPollsPerCounterPoll) {
        s.CounterTicks = 0;
        text = protocol::kCounterPoll;
        general = false;
    }
    if (!m_card.NoInputs.load() && general && ++s.InputTicks > protocol::kPollsPerInputPoll) {
        s.InputTicks = 0;
        text = protocol::kInputPoll;
    }
    if (m_card.StampCapable(address)) {
        const int hour = platform::LocalNow().Hour;
        if (hour != s.LastStampHour) {
            s.LastStampHour = hour;
            text = protocol::kStampPoll + DateTimeStamp();
        }
    }
    return text;
}

void TPoll::PollCycle()
{
    if (m_card.BeforePollCycle)
        m_card.BeforePollCycle();
    std::optional<TCommand> head;
    {
        std::scoped_lock lock(m_queueLock);
        head = m_queue.Head();
    }
    if (head) {
        std::string reply;
        const bool ok = Transact(head->Address, 1, reply, head->Text);
        if (ok || !Online(head->Address)) {
            std::scoped_lock lock(m_queueLock);
            m_queue.PopHead();
        }
    }
    const int first = m_card.FirstReader();
    const int last = m_card.LastReader();
    if (++CurrentAddress > last)
        CurrentAddress = first;
    if (CurrentAddress <= last && CurrentAddress >= 1 && CurrentAddress <= kMaxAddress) {
        const std::string text = PollText(CurrentAddress);
        std::string reply;
        if (Transact(CurrentAddress, 1, reply, text))
            HandleReply(CurrentAddress, reply);
    }
    std::this_thread::yield();
    if (const int delay = m_card.PollDelay.load(); delay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
}

void TPoll::HandleReply(int address, const std::string& reply)
{
    {
        std::scoped_lock lock(m_queueLock);
        m_lastPayload = reply.size() > 2 ? reply.substr(2) : std::string();
    }
    auto& state = m_state[static_cast<std::size_t>(address)];
    const TReplyEffects effects = DecodeReply(address, reply, state.Counter);
    if (effects.StampCapable)
        m_card.MarkStampCapable(address);
    if (effects.Ack)
        QueueCommand(address, effects.Ack->first, effects.Ack->second);
    if (effects.ResendGate) {
        // The device forgot its gate: send the state the line holds for it,
        // through this thread's own queue, leaving that state as it is.
        const auto [letter, gate] = m_card.GateCommand(address, m_card.GateState(address));
        QueueCommand(address, letter, gate);
    }
    for (const auto& [kind, values] : effects.Events) {
        const bool posted = m_dispatcher.Post(kind, values);
        platform::Metrics().Add(posted ? "velixcard_events_dispatched_total" : "velixcard_events_dropped_total",
                                LineLabels());
        if (!posted && TEventRing::IsPassage(kind))
            if (config::TMessLog* log = m_card.MessageLog())
                log->LogFmt(config::TLevel::Error, "TCard - Card %s from reader %d could not be queued: the queue holds only cards",
                            values.Value, static_cast<int>(values.Reader));
    }
}

void TPoll::Run(std::stop_token stop)
{
    std::string lastError;
    while (!stop.stop_requested()) {
        try {
            if (m_port.Lost())
                RecoverLostPort(stop);
            else
                PollCycle();
            lastError.clear();
        } catch (const std::exception& e) {
            RecoverFromError(stop, e.what(), lastError);
        } catch (...) {
            RecoverFromError(stop, "unknown error", lastError);
        }
    }
    try {
        SendQueuedCommands();
    } catch (...) {
        // The line is closing; what could not be sent is gone with it.
    }
    m_port.Close();
}

void TPoll::SendQueuedCommands()
{
    for (std::size_t i = 0; i < TCommandRing::kSlots; ++i) {
        std::optional<TCommand> head;
        {
            std::scoped_lock lock(m_queueLock);
            head = m_queue.Head();
            if (head)
                m_queue.PopHead();
        }
        if (!head)
            return;
        std::string reply;
        if (!m_port.Lost() && Online(head->Address))
            Transact(head->Address, 1, reply, head->Text);
    }
}

void TPoll::RecoverFromError(std::stop_token stop, const std::string& error, std::string& lastError)
{
    // Once per error, not once per cycle while it lasts.
    if (config::TMessLog* log = m_card.MessageLog(); log && error != lastError)
        log->Log("TCard - Poll cycle on " + m_portPath + " failed (" + error + "); devices off line, resuming in " +
                 std::to_string(kErrorPause.count()) + " ms",
                 config::TLevel::Error);
    lastError = error;
    TakeDevicesOffline();
    PauseFor(stop, kErrorPause);
}

void TPoll::TakeDevicesOffline()
{
    for (int address = m_card.FirstReader(); address <= m_card.LastReader(); ++address) {
        if (address < 1 || address > kMaxAddress)
            continue;
        TAddressState& s = m_state[static_cast<std::size_t>(address)];
        if (s.Online.exchange(false) && !s.FirstContact)
            Post(TEventKind::Error, address);
        PublishOnline(address, false);
        // Once the line answers again every device starts from first contact.
        s.FirstContact = true;
        s.Failures = 0;
    }
}

bool TPoll::PauseFor(std::stop_token stop, std::chrono::milliseconds pause)
{
    std::mutex sleepLock;
    std::condition_variable_any sleep;
    std::unique_lock lock(sleepLock);
    sleep.wait_for(lock, stop, pause, [] { return false; });
    return !stop.stop_requested();
}

void TPoll::RecoverLostPort(std::stop_token stop)
{
    config::TMessLog* log = m_card.MessageLog();
    if (log)
        log->Log("TCard - Port " + m_portPath + " lost (" + *m_port.Lost() + "); reopening it every " +
                 std::to_string(m_card.ReopenDelayMs.load()) + " ms",
                 config::TLevel::Error);
    m_port.Close();
    TakeDevicesOffline();
    while (PauseFor(stop, std::chrono::milliseconds(m_card.ReopenDelayMs.load())))
        if (!m_port.Open(m_portPath, m_card.Baud.load()))
            break;
    if (stop.stop_requested())
        return;
    m_port.Purge();
    if (log)
        log->Log("TCard - Port " + m_portPath + " reopened");
}

} // namespace line

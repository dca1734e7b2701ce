#pragma once

// Fakes at the dispatch and card boundaries, shared by the tests.

#include "automation/dispatch.h"
#include "cards/card.h"

#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

namespace velmora::testing {

// A control that records every call as it arrives and answers from a script.
class RecordingControl final : public Dispatch {
public:
    struct Call {
        DispatchId id;
        std::vector<AutomationValue> args;
    };
    struct Answer {
        DispatchOutcome outcome = DispatchOutcome::success(AutomationValue::boolean(true));
        std::optional<std::int16_t> writeBack; // written through a by-reference argument
    };

    std::vector<Call> calls;
    std::deque<Answer> script;      // consumed one per call; empty: answer True
    std::function<void()> onInvoke; // runs inside the call, before it answers

    DispatchOutcome invoke(DispatchId id, std::span<const AutomationValue> args) override
    {
        calls.push_back({id, {args.begin(), args.end()}});
        if (onInvoke)
            onInvoke();
        Answer answer;
        if (!script.empty()) {
            answer = std::move(script.front());
            script.pop_front();
        }
        if (answer.writeBack) {
            for (const AutomationValue &arg : args)
                if (arg.kind() == AutomationValue::Kind::IntegerByRef)
                    *arg.asIntegerByRef() = *answer.writeBack;
        }
        return answer.outcome;
    }
};

// A card that records what reaches it and whether it is open.
class FakeCard final : public Card {
public:
    struct Log {
        int opens = 0;
        int closes = 0;
        std::vector<std::pair<std::int32_t, std::int16_t>> configures;
        std::vector<std::int32_t> reads;
    };

    explicit FakeCard(std::string name, Log &log)
        : m_name(std::move(name))
        , m_log(log)
    {}

    DispatchStatus openStatus = DispatchStatus::success();
    std::int16_t portValue = 0x5A;
    std::optional<DispatchOutcome> selectAnswer;
    std::optional<DispatchOutcome> configureAnswer; // instead of True
    std::optional<DispatchOutcome> readAnswer;      // instead of delivering portValue
    std::size_t throwingReads = 0;                  // the first reads throw, as a broken card may
    bool throwOnConfigure = false;

    CardInfo info() const override { return {m_name, "fake", "nowhere"}; }
    DispatchStatus open() override
    {
        ++m_log.opens;
        return openStatus;
    }
    void close() noexcept override { ++m_log.closes; }
    DispatchOutcome configurePorts(std::int32_t chip, std::int16_t word) override
    {
        m_log.configures.emplace_back(chip, word);
        if (throwOnConfigure)
            throw std::runtime_error("the card's driver crashed");
        if (configureAnswer)
            return *configureAnswer;
        return DispatchOutcome::success(AutomationValue::boolean(true));
    }
    DispatchOutcome readPort(std::int32_t port, std::int16_t &value) override
    {
        m_log.reads.push_back(port);
        if (m_log.reads.size() <= throwingReads)
            throw std::runtime_error("the card's driver crashed");
        if (readAnswer)
            return *readAnswer;
        value = portValue;
        return DispatchOutcome::success(AutomationValue::boolean(true));
    }
    std::optional<DispatchOutcome> answerSelect() override { return selectAnswer; }

private:
    std::string m_name;
    Log &m_log;
};

} // namespace velmora::testing

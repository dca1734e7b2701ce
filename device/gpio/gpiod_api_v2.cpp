// The GPIO seam over libgpiod 2.x (Debian 13 and later). Every libgpiod 2.x call in the
// program is in this file; gpiod_api_v1.cpp does the same over 1.x.

#include "gpio/gpiod_api.h"
#include "gpio/gpiod_api_detail.h"

#include <gpiod.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace velmora {

namespace {

using gpiod_detail::lastError;
using gpiod_detail::text;

// libgpiod 2.x hands out objects the caller frees, each with its own function.
template<typename T, void (*Free)(T *)> struct Freer {
    void operator()(T *p) const noexcept { Free(p); }
};
template<typename T, void (*Free)(T *)> using Owned = std::unique_ptr<T, Freer<T, Free>>;

using ChipInfo = Owned<gpiod_chip_info, gpiod_chip_info_free>;
using LineInfo = Owned<gpiod_line_info, gpiod_line_info_free>;
using LineSettings = Owned<gpiod_line_settings, gpiod_line_settings_free>;
using LineConfig = Owned<gpiod_line_config, gpiod_line_config_free>;
using RequestConfig = Owned<gpiod_request_config, gpiod_request_config_free>;

class LibgpiodChip final : public GpioChip {
public:
    // Name, label and line count do not change while the chip is open, so they are read once.
    LibgpiodChip(gpiod_chip *chip, gpiod_chip_info *info)
        : m_chip(chip)
        , m_name(text(gpiod_chip_info_get_name(info)))
        , m_label(text(gpiod_chip_info_get_label(info)))
        , m_lineCount(static_cast<unsigned>(gpiod_chip_info_get_num_lines(info)))
    {}

    ~LibgpiodChip() override
    {
        release();
        gpiod_chip_close(m_chip);
    }

    std::string name() const override { return m_name; }
    std::string label() const override { return m_label; }
    unsigned lineCount() const override { return m_lineCount; }

    std::string lineName(unsigned offset) override
    {
        const LineInfo info = lineInfo(offset);
        return info ? text(gpiod_line_info_get_name(info.get())) : std::string();
    }

    // Every call asks the kernel afresh, so the holder is the current one.
    std::string lineConsumer(unsigned offset) override
    {
        const LineInfo info = lineInfo(offset);
        if (!info || !gpiod_line_info_is_used(info.get()))
            return {};
        return text(gpiod_line_info_get_consumer(info.get()));
    }

    int requestInputs(std::span<const unsigned> offsets, const char *consumer) override
    {
        if (m_request != nullptr)
            return EALREADY;
        if (offsets.empty())
            return EINVAL;
        errno = 0;
        const LineSettings settings(gpiod_line_settings_new());
        const LineConfig lines(gpiod_line_config_new());
        const RequestConfig request(gpiod_request_config_new());
        if (!settings || !lines || !request)
            return lastError();
        if (gpiod_line_settings_set_direction(settings.get(), GPIOD_LINE_DIRECTION_INPUT) != 0 ||
            gpiod_line_config_add_line_settings(lines.get(), offsets.data(), offsets.size(),
                                                settings.get()) != 0)
            return lastError();
        gpiod_request_config_set_consumer(request.get(), consumer);
        errno = 0;
        gpiod_line_request *taken = gpiod_chip_request_lines(m_chip, request.get(), lines.get());
        if (taken == nullptr)
            return lastError();
        // Reads name the offsets in request order, so the values come back in that order;
        // both buffers are made here so that a read allocates nothing.
        m_offsets.assign(offsets.begin(), offsets.end());
        m_values.assign(offsets.size(), GPIOD_LINE_VALUE_INACTIVE);
        m_request = taken;
        return 0;
    }

    int readValues(std::span<int> values) override
    {
        if (m_request == nullptr)
            return EPERM;
        if (values.size() != m_offsets.size())
            return EINVAL;
        errno = 0;
        if (gpiod_line_request_get_values_subset(m_request, m_offsets.size(), m_offsets.data(),
                                                 m_values.data()) != 0)
            return lastError();
        for (std::size_t i = 0; i < values.size(); ++i)
            values[i] = m_values[i] == GPIOD_LINE_VALUE_ACTIVE ? 1 : 0;
        return 0;
    }

    void release() noexcept override
    {
        if (m_request == nullptr)
            return;
        gpiod_line_request_release(m_request);
        m_request = nullptr;
        m_offsets.clear();
        m_values.clear();
    }

private:
    LineInfo lineInfo(unsigned offset)
    {
        if (offset >= m_lineCount)
            return nullptr;
        return LineInfo(gpiod_chip_get_line_info(m_chip, offset));
    }

    gpiod_chip *m_chip;
    std::string m_name;
    std::string m_label;
    unsigned m_lineCount;
    gpiod_line_request *m_request = nullptr;
    std::vector<unsigned> m_offsets;
    std::vector<gpiod_line_value> m_values;
};

class LibgpiodApi final : public GpioApi {
public:
    std::unique_ptr<GpioChip> open(const std::string &path, int &error) override
    {
        errno = 0;
        gpiod_chip *chip = gpiod_chip_open(path.c_str());
        if (chip == nullptr) {
            error = lastError();
            return nullptr;
        }
        errno = 0;
        const ChipInfo info(gpiod_chip_get_info(chip));
        if (!info) {
            error = lastError();
            gpiod_chip_close(chip);
            return nullptr;
        }
        error = 0;
        return std::make_unique<LibgpiodChip>(chip, info.get());
    }
};

} // namespace

GpioApi &systemGpioApi()
{
    static LibgpiodApi api;
    return api;
}

} // namespace velmora

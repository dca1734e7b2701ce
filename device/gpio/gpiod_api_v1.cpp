// The GPIO seam over libgpiod 1.x (Debian 12). Every libgpiod 1.x call in the program is in
// this file; gpiod_api_v2.cpp does the same over 2.x.

#include "gpio/gpiod_api.h"
#include "gpio/gpiod_api_detail.h"

#include <gpiod.h>

#include <cerrno>
#include <vector>

namespace velmora {

namespace {

using gpiod_detail::lastError;
using gpiod_detail::text;

class LibgpiodChip final : public GpioChip {
public:
    explicit LibgpiodChip(gpiod_chip *chip)
        : m_chip(chip)
    {
        gpiod_line_bulk_init(&m_bulk);
    }

    ~LibgpiodChip() override
    {
        release();
        gpiod_chip_close(m_chip);
    }

    std::string name() const override { return text(gpiod_chip_name(m_chip)); }
    std::string label() const override { return text(gpiod_chip_label(m_chip)); }
    unsigned lineCount() const override { return gpiod_chip_num_lines(m_chip); }

    std::string lineName(unsigned offset) override
    {
        gpiod_line *line = lineAt(offset);
        return line != nullptr ? text(gpiod_line_name(line)) : std::string();
    }

    std::string lineConsumer(unsigned offset) override
    {
        gpiod_line *line = lineAt(offset);
        if (line == nullptr)
            return {};
        // libgpiod keeps what it read when the line was first fetched; the holder may have
        // changed since.
        gpiod_line_update(line);
        return text(gpiod_line_consumer(line));
    }

    int requestInputs(std::span<const unsigned> offsets, const char *consumer) override
    {
        if (m_requested)
            return EALREADY;
        if (offsets.empty() || offsets.size() > GPIOD_LINE_BULK_MAX_LINES)
            return EINVAL;
        std::vector<unsigned> copy(offsets.begin(), offsets.end());
        gpiod_line_bulk bulk;
        gpiod_line_bulk_init(&bulk);
        errno = 0;
        if (gpiod_chip_get_lines(m_chip, copy.data(), static_cast<unsigned>(copy.size()), &bulk) !=
            0)
            return lastError();
        errno = 0;
        if (gpiod_line_request_bulk_input(&bulk, consumer) != 0)
            return lastError();
        m_bulk = bulk;
        m_requested = true;
        return 0;
    }

    int readValues(std::span<int> values) override
    {
        if (!m_requested)
            return EPERM;
        if (values.size() != m_bulk.num_lines)
            return EINVAL;
        errno = 0;
        if (gpiod_line_get_value_bulk(&m_bulk, values.data()) != 0)
            return lastError();
        return 0;
    }

    void release() noexcept override
    {
        if (!m_requested)
            return;
        gpiod_line_release_bulk(&m_bulk);
        gpiod_line_bulk_init(&m_bulk);
        m_requested = false;
    }

private:
    gpiod_line *lineAt(unsigned offset)
    {
        if (offset >= lineCount())
            return nullptr;
        return gpiod_chip_get_line(m_chip, offset);
    }

    gpiod_chip *m_chip;
    gpiod_line_bulk m_bulk;
    bool m_requested = false;
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
        error = 0;
        return std::make_unique<LibgpiodChip>(chip);
    }
};

} // namespace

GpioApi &systemGpioApi()
{
    static LibgpiodApi api;
    return api;
}

} // namespace velmora

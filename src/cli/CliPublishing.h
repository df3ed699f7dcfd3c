#pragma once

#include <QString>

#include <memory>

namespace qst {
class MqttPublisher;
}

namespace qst::cli {

// MQTT publishing while a writing command other than run stores records: every record goes
// into the MQTT outbox; at the end it publishes for up to drainMs, the rest waits for run.
class CliPublishing
{
public:
    explicit CliPublishing(const QString &dataRoot);
    ~CliPublishing();
    void Finish(int drainMs);

private:
    std::unique_ptr<MqttPublisher> m_publisher;
};

} // namespace qst::cli

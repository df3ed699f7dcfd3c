#pragma once

#include <QString>

#include <memory>

namespace qst {
class Replicator;
}

namespace qst::cli {

// The database copy while a writing command runs: started when Tree.ini has [DATABASE]
// Url, its log lines on standard output as "[База данных] [time] text". At the end it
// sends for up to drainMs what waits; the rest stays in the outbox for the next run.
class CliReplication
{
public:
    explicit CliReplication(const QString &dataRoot);
    ~CliReplication();
    void Finish(int drainMs);

private:
    std::unique_ptr<Replicator> m_replicator;
};

} // namespace qst::cli

#include "soundhistory.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>

void SoundHistory::beginRun(const std::vector<const AVCodecParameters *> &streams)
{
    Run run;
    for (const AVCodecParameters *parameters : streams) {
        std::shared_ptr<AVCodecParameters> copy(avcodec_parameters_alloc(),
                                                [](AVCodecParameters *p) { avcodec_parameters_free(&p); });
        if (!copy || avcodec_parameters_copy(copy.get(), parameters) < 0)
            return; // out of memory: this run keeps no sound
        run.streams.push_back(std::move(copy));
    }
    run.packets.resize(run.streams.size());
    m_runs.push_back(std::move(run));
}

void SoundHistory::append(const std::vector<std::vector<VideoPacket>> &packets)
{
    if (m_runs.empty())
        return;
    Run &run = m_runs.back();
    for (size_t stream = 0; stream < packets.size() && stream < run.packets.size(); ++stream) {
        for (const VideoPacket &packet : packets[stream]) {
            run.packets[stream].push_back(packet);
            run.endMs = std::max<qint64>(run.endMs, packet->pts + packet->duration);
        }
    }
}

SoundHistory::Range SoundHistory::range(qint64 fromMs, qint64 toMs) const
{
    Range range;
    const auto run = std::find_if(m_runs.begin(), m_runs.end(), [fromMs](const Run &r) { return r.endMs > fromMs; });
    if (run == m_runs.end())
        return range;
    range.streams = run->streams;
    range.packets.resize(run->packets.size());
    for (size_t stream = 0; stream < run->packets.size(); ++stream) {
        for (const VideoPacket &packet : run->packets[stream]) {
            if (packet->pts >= fromMs && packet->pts < toMs)
                range.packets[stream].push_back(packet);
        }
    }
    return range;
}

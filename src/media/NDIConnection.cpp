#include "media/NDIConnection.h"

#include "media/MediaReaper.h"
#include "media/NDIRecvInstance.h"
#include "ndi/NdiLibrary.h"

#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <QtDebug>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

NDIRecvInstance *ndiInstance(const MediaInstancePtr &instance)
{
    return dynamic_cast<NDIRecvInstance *>(instance.get());
}

NDIlib_recv_bandwidth_e ndiBandwidth(int bw)
{
    switch (bw) {
    case MediaConnection::High:
        return NDIlib_recv_bandwidth_highest;
    case MediaConnection::AudioOnly:
        return NDIlib_recv_bandwidth_audio_only;
    case MediaConnection::MetadataOnly:
        return NDIlib_recv_bandwidth_metadata_only;
    default:
        return NDIlib_recv_bandwidth_lowest;
    }
}

} // namespace

NDIConnection::NDIConnection(const NdiLibrary *lib, QObject *parent)
    : MediaConnection(parent), m_lib(lib ? lib : NdiLibrary::instance())
{
}

NDIConnection::~NDIConnection()
{
    shutdown(); // no thread may reach the operations below any more
}

MediaInstancePtr NDIConnection::createInstance(int bw, const QString &name, const QString &address)
{
    if (address.isEmpty())
        return {};
    if (!m_lib) {
        qWarning() << "no NDI runtime, cannot receive" << name << ":"
                   << QString::fromStdString(NdiLibrary::instanceError());
        return {};
    }
    const QByteArray name8 = name.toUtf8();
    const QByteArray address8 = address.toUtf8();
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_ndi_name = name8.constData();
    settings.source_to_connect_to.p_url_address = address8.constData();
    settings.color_format = NDIlib_recv_color_format_fastest;
    settings.bandwidth = ndiBandwidth(bw);
    settings.allow_video_fields = true;
    settings.p_ndi_recv_name = nullptr;
    NdiReceiver receiver = makeNdiReceiver(*m_lib, &settings);
    if (!receiver) {
        qWarning() << "NDI receiver creation failed for" << name << "at" << address;
        return {};
    }
    QByteArray hint(kHwAccelMetadata);
    NDIlib_metadata_frame_t meta;
    meta.length = int(hint.size() + 1); // with the terminating NUL
    meta.timecode = 0;
    meta.p_data = hint.data();
    (*m_lib)->recv_send_metadata(receiver.get(), &meta);
    return MediaReaper::makeShared<MediaInstance_t>(
        new NDIRecvInstance(*m_lib, std::move(receiver), settings.bandwidth, name));
}

int NDIConnection::checkConnection(const MediaInstancePtr &instance)
{
    NDIRecvInstance *ndi = ndiInstance(instance);
    if (!ndi || !ndi->receiver())
        return NoReceiver;
    const NdiFunctions &api = ndi->library().api();
    NDIlib_metadata_frame_t meta;
    const NDIlib_frame_type_e type =
        api.recv_capture_v2(ndi->receiver(), nullptr, nullptr, &meta, 0);
    if (type == NDIlib_frame_type_metadata)
        api.recv_free_metadata(ndi->receiver(), &meta);
    if (type == NDIlib_frame_type_error)
        return ReceiverError;
    return api.recv_get_no_connections(ndi->receiver()) > 0 ? Connected : NotConnected;
}

VideoFramePtr NDIConnection::captureVideo(const MediaInstancePtr &instance, bool onlySticky)
{
    if (onlySticky) {
        if (checkConnection(instance) == Connected)
            return std::make_shared<MediaFrameWrapper<>>(instance);
        return {};
    }
    NDIRecvInstance *ndi = ndiInstance(instance);
    NDIlib_framesync_instance_t fs = ndi ? ndi->frameSync() : nullptr;
    if (!fs)
        return {};
    auto wrapper = std::make_shared<MediaFrameWrapper<>>(instance);
    ndi->library()->framesync_capture_video(
        fs, reinterpret_cast<NDIlib_video_frame_v2_t *>(&wrapper->frame),
        NDIlib_frame_format_type_progressive);
    return wrapper;
}

AudioFramePtr NDIConnection::captureAudio(const MediaInstancePtr &instance, bool onlySticky,
                                          int samples)
{
    if (onlySticky) {
        if (checkConnection(instance) == Connected)
            return std::make_shared<AudioFrameWrapper<>>();
        return {};
    }
    NDIRecvInstance *ndi = ndiInstance(instance);
    NDIlib_framesync_instance_t fs = ndi ? ndi->frameSync() : nullptr;
    if (!fs)
        return {};
    const NdiFunctions &api = ndi->library().api();
    NDIlib_audio_frame_v2_t captured;
    api.framesync_capture_audio(fs, &captured, 48000, 2, samples);
    if (!captured.p_data)
        return {};
    const size_t values = size_t(captured.no_channels) * size_t(captured.no_samples);

    NDIlib_audio_frame_interleaved_32f_t f32;
    f32.sample_rate = captured.sample_rate;
    f32.no_channels = captured.no_channels;
    f32.no_samples = captured.no_samples;
    f32.timecode = captured.timecode;
    f32.p_data = static_cast<float *>(std::malloc(values * sizeof(float)));
    NDIlib_audio_frame_interleaved_16s_t s16;
    s16.sample_rate = captured.sample_rate;
    s16.no_channels = captured.no_channels;
    s16.no_samples = captured.no_samples;
    s16.timecode = captured.timecode;
    s16.reference_level = 0;
    s16.p_data = static_cast<int16_t *>(std::malloc(values * sizeof(int16_t)));
    if (!f32.p_data || !s16.p_data) {
        std::free(f32.p_data);
        std::free(s16.p_data);
        api.framesync_free_audio(fs, &captured);
        return {};
    }
    api.util_audio_to_interleaved_32f_v2(&captured, &f32);
    api.util_audio_to_interleaved_16s_v2(&captured, &s16);

    auto wrapper = std::make_shared<AudioFrameWrapper<>>();
    Media_audio_frame_t &f = wrapper->frame;
    f.sample_rate = captured.sample_rate;
    f.no_channels = captured.no_channels;
    f.no_samples = captured.no_samples;
    f.timecode = captured.timecode;
    f.channel_stride_in_bytes = captured.channel_stride_in_bytes;
    f.timestamp = captured.timestamp;
    f.p_data = f32.p_data;
    f.p_data_16s = s16.p_data;
    api.framesync_free_audio(fs, &captured);
    return wrapper;
}

void NDIConnection::parseDeviceStatus(const QByteArray &latin1Xml, Media_capabilities_t &caps)
{
    QXmlStreamReader reader(QString::fromLatin1(latin1Xml));
    bool inStatus = false;
    while (!reader.atEnd() && !reader.hasError()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QStringView element = reader.name();
        if (!inStatus) {
            if (element == QLatin1String("Varimont")) {
                inStatus = true;
                caps.vendor = "Varimont";
            }
            continue;
        }
        if (element == QLatin1String("remote")) {
            caps.ntp_server = reader.readElementText().toUtf8();
        } else if (element == QLatin1String("bitrate")) {
            bool ok = false;
            const int value = reader.readElementText().toInt(&ok);
            caps.bitrate = ok ? value : 0;
        } else if (element == QLatin1String("sync")) {
            const int value = reader.readElementText().toInt();
            caps.ntp_state = value < 1 ? "error" : "sync";
        }
    }
}

void NDIConnection::checkNtpServer(Media_capabilities_t &caps, const QString &sentServer)
{
    const QString reported = QString::fromUtf8(caps.ntp_server);
    if (sentServer.isEmpty() || reported.isEmpty() || !reported.contains(sentServer))
        caps.ntp_state = "unsync";
}

int NDIConnection::audioQueued(const MediaInstancePtr &instance)
{
    NDIRecvInstance *ndi = ndiInstance(instance);
    NDIlib_framesync_instance_t fs = ndi ? ndi->frameSync() : nullptr;
    return fs ? ndi->library().api().framesync_audio_queue_depth(fs) : -1;
}

CapabilitiesPtr NDIConnection::queryCapabilities(const MediaInstancePtr &instance)
{
    NDIRecvInstance *ndi = ndiInstance(instance);
    if (!ndi) {
        qWarning() << "#1 ndi_conn is null";
        return {};
    }
    if (!ndi->receiver()) {
        qWarning() << "#2 recv_inst is null " << ndi->name();
        return {};
    }
    const NdiFunctions &api = ndi->library().api();
    NDIlib_recv_instance_t recv = ndi->receiver();
    NDIlib_metadata_frame_t meta;
    NDIlib_frame_type_e type = api.recv_capture_v2(recv, nullptr, nullptr, &meta, 0);
    if (type == NDIlib_frame_type_error && api.recv_get_no_connections(recv) < 1)
        return {};

    auto caps = std::make_shared<Media_capabilities_t>();
    caps->type = "general-ndi";
    caps->support_ptz = api.recv_ptz_is_supported(recv);
    if (const char *url = api.recv_get_web_control(recv)) {
        caps->web_url = QByteArray(url);
        api.recv_free_string(recv, url);
    }
    caps->support_kvm = false;
    caps->has_video = ndi->bandwidth() != NDIlib_recv_bandwidth_metadata_only &&
                      ndi->bandwidth() != NDIlib_recv_bandwidth_audio_only;
    caps->has_audio = ndi->bandwidth() != NDIlib_recv_bandwidth_metadata_only;
    caps->has_metadata = true;
    caps->ntp_server.clear();
    caps->bitrate = 0;
    caps->ntp_state = "unsync";
    caps->vendor.clear();
    // Metadata queues up between reads (status elements, tally echoes): read what is
    // waiting, oldest first, so the record reflects the latest status element.
    bool parsed = false;
    for (int frames = 0; type == NDIlib_frame_type_metadata && frames < kMaxMetadataPerRead;
         ++frames) {
        if (meta.p_data && meta.length >= 0) {
            const size_t limit = meta.length > 0 ? size_t(meta.length) : SIZE_MAX;
            parseDeviceStatus(QByteArray(meta.p_data, qsizetype(strnlen(meta.p_data, limit))),
                              *caps);
            parsed = true;
        }
        api.recv_free_metadata(recv, &meta);
        type = api.recv_capture_v2(recv, nullptr, nullptr, &meta, 0);
    }
    if (type == NDIlib_frame_type_metadata)
        api.recv_free_metadata(recv, &meta);
    if (parsed)
        checkNtpServer(*caps, ndi->ntpServer());
    return caps;
}

void NDIConnection::sendTally(const MediaInstancePtr &instance, bool preview, bool program)
{
    NDIRecvInstance *ndi = ndiInstance(instance);
    if (!ndi || !ndi->receiver())
        return;
    NDIlib_tally_t tally;
    tally.on_program = program;
    tally.on_preview = preview;
    ndi->library()->recv_set_tally(ndi->receiver(), &tally);
}

QByteArray NDIConnection::ntpSetMetadata(const QString &server)
{
    QByteArray text;
    QXmlStreamWriter writer(&text);
    writer.setAutoFormatting(false);
    writer.writeStartElement("ntp-set");
    writer.writeTextElement("Server", server);
    writer.writeEndElement();
    return text;
}

void NDIConnection::sendNtp(const MediaInstancePtr &instance, const QString &server)
{
    NDIRecvInstance *ndi = ndiInstance(instance);
    if (!ndi || !ndi->receiver())
        return;
    const QByteArray xml = ntpSetMetadata(server);
    ndi->setNtpServer(server);
    qInfo() << "send metadata :" << xml << "source :" << ndi->name();
    QByteArray local = QString::fromUtf8(xml).toLocal8Bit();
    NDIlib_metadata_frame_t meta;
    meta.length = int(local.size() + 1); // with the terminating NUL
    meta.timecode = NDIlib_send_timecode_synthesize;
    meta.p_data = local.data();
    ndi->library()->recv_send_metadata(ndi->receiver(), &meta);
}

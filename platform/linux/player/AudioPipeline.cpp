// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/player/AudioPipeline.h"

#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/player/Playback.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>

namespace orvo::platform::native {
namespace {

// The undecoded bytes a run may queue: a few segments of a radio stream. Past
// the high-water mark the fetcher waits for room before its next segment.
constexpr guint64 queueBytes = 2 * 1024 * 1024;
constexpr guint64 highWaterBytes = queueBytes / 2;
// Runs alive at once: the one playing and those queued behind it. A stream
// that splits faster than it plays (a server whose numbers jump) waits for a
// run to play out rather than piling up demuxers and their threads.
constexpr std::size_t maxRuns = 3;

constexpr const char* roomMessage = "orvo-room";
constexpr const char* runSwitchMessage = "orvo-run-switched";
constexpr const char* soundingMessage = "orvo-sounding";

using glib::GRef;

// A new element, its floating reference sunk: ours until released, whether
// or not a bin takes one too.
GRef<GstElement> owned(GstElement* element)
{
    return GRef<GstElement>(element ? GST_ELEMENT(gst_object_ref_sink(element)) : nullptr);
}

GRef<GstElement> makeElement(const char* factory)
{
    auto element = owned(gst_element_factory_make(factory, nullptr));
    if (!element) {
        g_warning("GStreamer element %s is missing; install the GStreamer plugins", factory);
    }
    return element;
}

// The sink autoaudiosink picks on this machine, once found: empty until then.
std::mutex chosenSinkLock;
std::string chosenSink; // guarded by chosenSinkLock

GRef<GstElement> makeSink()
{
    if (const char* description = g_getenv(audioSinkVariable); description && *description) {
        glib::GUnique<GError> error;
        if (auto sink = owned(gst_parse_bin_from_description(description, TRUE, glib::out(error)))) {
            return sink;
        }
        g_warning("audio sink \"%s\" not usable: %s", description, error ? error->message : "?");
    }
    std::string chosen;
    {
        std::lock_guard lock(chosenSinkLock);
        chosen = chosenSink;
    }
    if (!chosen.empty()) {
        if (auto sink = owned(gst_element_factory_make(chosen.c_str(), nullptr))) {
            return sink;
        }
    }
    return makeElement("autoaudiosink");
}

void postApplicationMessage(GstElement* from, const char* name)
{
    gst_element_post_message(from, gst_message_new_application(GST_OBJECT(from), gst_structure_new_empty(name)));
}

} // namespace

struct AudioPipeline::Impl {
    struct Run {
        GRef<GstElement> source; // appsrc
        GRef<GstElement> decoder; // decodebin
        GRef<GstPad> concatPad; // concat's request pad, released with the run
        // Set by the main loop while the fetcher waits for room; the
        // streaming thread answers once.
        std::atomic<bool> roomWanted { false };
    };

    Callbacks callbacks;
    GRef<GstElement> pipeline;
    GRef<GstElement> concat; // null when an element of the chain is missing
    GRef<GstElement> volume;
    GstElement* audioSink = nullptr; // held by the pipeline
    glib::SourceHandle busWatch;
    std::deque<std::unique_ptr<Run>> runs;
    bool roomAfterRun = false; // the fetcher waits for a run to play out
    int runsBegun = 0;
    GstState target = GST_STATE_PLAYING;
    std::atomic<std::int64_t> playedNs { 0 };
    std::atomic<bool> flowed { false };

    explicit Impl(Callbacks c)
        : callbacks(std::move(c))
    {
        pipeline = owned(gst_pipeline_new(nullptr));
        auto chain = makeElement("concat");
        auto convert = makeElement("audioconvert");
        auto level = makeElement("volume");
        auto resample = makeElement("audioresample");
        auto sink = makeSink();
        if (!chain || !convert || !level || !resample || !sink) {
            return;
        }
        audioSink = sink.get();
        concat = std::move(chain);
        volume = std::move(level);
        gst_bin_add_many(
            GST_BIN(pipeline.get()), concat.get(), convert.get(), volume.get(), resample.get(), sink.get(), nullptr);
        gst_element_link_many(concat.get(), convert.get(), volume.get(), resample.get(), sink.get(), nullptr);
        g_signal_connect(concat.get(), "notify::active-pad", G_CALLBACK(&Impl::onActivePad), nullptr);

        // Counts the audio that leaves concat: it moves only while sound
        // flows to the sink, whatever the runs' own timestamps do.
        GRef<GstPad> out(gst_element_get_static_pad(concat.get(), "src"));
        gst_pad_add_probe(out.get(), GST_PAD_PROBE_TYPE_BUFFER, &Impl::onAudio, this, nullptr);

        GRef<GstBus> bus(gst_element_get_bus(pipeline.get()));
        busWatch = glib::SourceHandle(gst_bus_add_watch(bus.get(), &Impl::onBusMessage, this));
    }

    ~Impl()
    {
        busWatch.reset();
        // Synchronous: when this returns no streaming thread runs and no
        // sample reaches the sink any more.
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    }

    Run* current() const { return runs.empty() ? nullptr : runs.back().get(); }

    void beginRun()
    {
        if (!concat) {
            return;
        }
        auto run = std::make_unique<Run>();
        run->source = makeElement("appsrc");
        run->decoder = makeElement("decodebin");
        if (!run->source || !run->decoder) {
            callbacks.failed({ Failure::Permanent, Reason::Decoder, 0, "appsrc or decodebin missing" });
            return;
        }
        GstElement* source = run->source.get();
        GstElement* decoder = run->decoder.get();
        g_object_set(source, "format", GST_FORMAT_BYTES, "max-bytes", queueBytes, "min-percent", 50u, nullptr);
        GstAppSrcCallbacks appCallbacks {};
        appCallbacks.need_data = &Impl::onNeedData;
        gst_app_src_set_callbacks(GST_APP_SRC(source), &appCallbacks, run.get(), nullptr);
        gst_bin_add_many(GST_BIN(pipeline.get()), source, decoder, nullptr);
        gst_element_link(source, decoder);
        // Requested before the previous run ends, so concat moves on to it
        // rather than ending the stream.
        run->concatPad = GRef<GstPad>(gst_element_request_pad_simple(concat.get(), "sink_%u"));
        g_signal_connect(decoder, "pad-added", G_CALLBACK(&Impl::onDecodedPad), run.get());

        Run* previous = current();
        runs.push_back(std::move(run));
        ++runsBegun;
        Run* fresh = current();
        if (GST_STATE_TARGET(pipeline.get()) == GST_STATE_NULL || GST_STATE_TARGET(pipeline.get()) == GST_STATE_READY) {
            gst_element_set_state(pipeline.get(), target);
        } else {
            gst_element_sync_state_with_parent(fresh->decoder.get());
            gst_element_sync_state_with_parent(fresh->source.get());
        }
        if (previous) {
            gst_app_src_end_of_stream(GST_APP_SRC(previous->source.get()));
        }
    }

    void removeRun(std::unique_ptr<Run>& run)
    {
        gst_element_set_state(run->source.get(), GST_STATE_NULL);
        gst_element_set_state(run->decoder.get(), GST_STATE_NULL);
        gst_bin_remove_many(GST_BIN(pipeline.get()), run->source.get(), run->decoder.get(), nullptr);
        gst_element_release_request_pad(concat.get(), run->concatPad.get());
        run.reset();
    }

    // Runs that concat has moved past have played out: free them.
    void pruneRuns()
    {
        GstPad* active = nullptr;
        g_object_get(concat.get(), "active-pad", &active, nullptr);
        const GRef<GstPad> held(active);
        if (!held) {
            return;
        }
        while (runs.size() > 1 && runs.front()->concatPad.get() != active) {
            removeRun(runs.front());
            runs.pop_front();
        }
        if (roomAfterRun && runs.size() < maxRuns) {
            roomAfterRun = false;
            callbacks.room();
        }
    }

    void reset()
    {
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        while (!runs.empty()) {
            removeRun(runs.front());
            runs.pop_front();
        }
        playedNs = 0;
        flowed = false;
        roomAfterRun = false;
    }

    // --- Streaming threads ---

    static void onDecodedPad(GstElement*, GstPad* pad, gpointer data)
    {
        auto* run = static_cast<Run*>(data);
        glib::GUnique<GstCaps> caps(gst_pad_get_current_caps(pad));
        if (!caps) {
            caps.reset(gst_pad_query_caps(pad, nullptr));
        }
        const GstStructure* structure
            = caps && gst_caps_get_size(caps.get()) > 0 ? gst_caps_get_structure(caps.get(), 0) : nullptr;
        // Only the first audio stream is played; others (timed metadata, a
        // second language) stay unlinked.
        if (structure && g_str_has_prefix(gst_structure_get_name(structure), "audio/")
            && !gst_pad_is_linked(run->concatPad.get())) {
            gst_pad_link(pad, run->concatPad.get());
        }
    }

    static void onNeedData(GstAppSrc* source, guint, gpointer data)
    {
        if (static_cast<Run*>(data)->roomWanted.exchange(false)) {
            postApplicationMessage(GST_ELEMENT(source), roomMessage);
        }
    }

    static void onActivePad(GstElement* concat, GParamSpec*, gpointer)
    {
        postApplicationMessage(concat, runSwitchMessage);
    }

    static GstPadProbeReturn onAudio(GstPad*, GstPadProbeInfo* info, gpointer data)
    {
        auto* self = static_cast<Impl*>(data);
        const GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        const GstClockTime duration = buffer ? GST_BUFFER_DURATION(buffer) : GST_CLOCK_TIME_NONE;
        self->playedNs += GST_CLOCK_TIME_IS_VALID(duration) ? static_cast<std::int64_t>(duration) : 1;
        if (!self->flowed.exchange(true)) {
            postApplicationMessage(self->concat.get(), soundingMessage);
        }
        return GST_PAD_PROBE_OK;
    }

    // --- Main loop ---

    static gboolean onBusMessage(GstBus*, GstMessage* message, gpointer data)
    {
        static_cast<Impl*>(data)->handle(message);
        return G_SOURCE_CONTINUE;
    }

    void handle(GstMessage* message)
    {
        switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_ERROR: {
            glib::GUnique<GError> error;
            glib::GUnique<char> debug;
            gst_message_parse_error(message, glib::out(error), glib::out(debug));
            // The audio device failed (its server went away, say): the next
            // pipeline looks for a working one again.
            if (audioSink
                && (GST_MESSAGE_SRC(message) == GST_OBJECT(audioSink)
                    || gst_object_has_as_ancestor(GST_MESSAGE_SRC(message), GST_OBJECT(audioSink)))) {
                std::lock_guard lock(chosenSinkLock);
                chosenSink.clear();
            }
            g_debug("decoding failed in %s: %s (%s)", GST_OBJECT_NAME(GST_MESSAGE_SRC(message)), error->message,
                debug ? debug.get() : "");
            // No decoder for the stream's format will not change on a retry;
            // data that is not a stream (a glitch, a captive portal) may.
            const bool missing = g_error_matches(error.get(), GST_CORE_ERROR, GST_CORE_ERROR_MISSING_PLUGIN)
                || g_error_matches(error.get(), GST_STREAM_ERROR, GST_STREAM_ERROR_CODEC_NOT_FOUND);
            callbacks.failed({ missing ? Failure::Permanent : Failure::Transient,
                missing ? Reason::Decoder : Reason::Unreadable, 0, error->message });
            break;
        }
        case GST_MESSAGE_EOS:
            callbacks.drained();
            break;
        case GST_MESSAGE_APPLICATION: {
            const GstStructure* structure = gst_message_get_structure(message);
            if (gst_structure_has_name(structure, runSwitchMessage)) {
                pruneRuns();
            } else if (gst_structure_has_name(structure, soundingMessage)) {
                callbacks.sounding();
            } else if (gst_structure_has_name(structure, roomMessage) && current()
                && GST_MESSAGE_SRC(message) == GST_OBJECT(current()->source.get())) {
                callbacks.room();
            }
            break;
        }
        default:
            break;
        }
    }
};

void chooseAudioSink()
{
    // A sink given in the environment is used as it is: nothing to find.
    if (const char* description = g_getenv(audioSinkVariable); description && *description) {
        return;
    }
    // autoaudiosink opens each candidate to see whether it works, then closes
    // it: a pipeline that used it would open the audio server twice.
    const auto probe = owned(gst_element_factory_make("autoaudiosink", nullptr));
    if (!probe || gst_element_set_state(probe.get(), GST_STATE_READY) != GST_STATE_CHANGE_SUCCESS) {
        if (probe) {
            gst_element_set_state(probe.get(), GST_STATE_NULL);
        }
        return;
    }
    std::string found;
    GstIterator* children = gst_bin_iterate_elements(GST_BIN(probe.get()));
    GValue child = G_VALUE_INIT;
    if (gst_iterator_next(children, &child) == GST_ITERATOR_OK) {
        GstElementFactory* factory = gst_element_get_factory(GST_ELEMENT(g_value_get_object(&child)));
        // Its stand-in when nothing works is no choice to keep.
        if (factory && g_strcmp0(gst_plugin_feature_get_name(factory), "fakesink") != 0) {
            found = gst_plugin_feature_get_name(factory);
        }
        g_value_unset(&child);
    }
    gst_iterator_free(children);
    gst_element_set_state(probe.get(), GST_STATE_NULL);
    std::lock_guard lock(chosenSinkLock);
    chosenSink = found;
}

AudioPipeline::AudioPipeline(Callbacks callbacks)
    : impl_(std::make_unique<Impl>(std::move(callbacks)))
{
}

AudioPipeline::~AudioPipeline() = default;

void AudioPipeline::beginRun()
{
    impl_->beginRun();
}

void AudioPipeline::push(GBytes* bytes)
{
    if (Impl::Run* run = impl_->current()) {
        gst_app_src_push_buffer(GST_APP_SRC(run->source.get()), gst_buffer_new_wrapped_bytes(bytes));
    }
}

void AudioPipeline::endOfStream()
{
    if (Impl::Run* run = impl_->current()) {
        gst_app_src_end_of_stream(GST_APP_SRC(run->source.get()));
    }
}

void AudioPipeline::reset()
{
    impl_->reset();
}

void AudioPipeline::setPlaying(bool playing)
{
    impl_->target = playing ? GST_STATE_PLAYING : GST_STATE_PAUSED;
    GstElement* pipeline = impl_->pipeline.get();
    if (!impl_->runs.empty()) {
        gst_element_set_state(pipeline, impl_->target);
    } else if (playing && GST_STATE_TARGET(pipeline) == GST_STATE_NULL) {
        // Nothing to play yet: open the audio device now, while the first
        // bytes are on their way, rather than after they came.
        gst_element_set_state(pipeline, GST_STATE_READY);
    }
}

void AudioPipeline::setVolume(double level)
{
    if (impl_->volume) {
        g_object_set(impl_->volume.get(), "volume", level, nullptr);
    }
}

bool AudioPipeline::hasRoom() const
{
    if (impl_->runs.size() >= maxRuns) {
        impl_->roomAfterRun = true;
        return false;
    }
    Impl::Run* run = impl_->current();
    if (!run || gst_app_src_get_current_level_bytes(GST_APP_SRC(run->source.get())) < highWaterBytes) {
        return true;
    }
    run->roomWanted = true;
    return false;
}

std::optional<std::int64_t> AudioPipeline::played() const
{
    if (!impl_->flowed) {
        return std::nullopt;
    }
    return impl_->playedNs.load();
}

GstElement* AudioPipeline::element() const
{
    return impl_->pipeline.get();
}

int AudioPipeline::runsBegun() const
{
    return impl_->runsBegun;
}

} // namespace orvo::platform::native

#!/usr/bin/env bash
# Fault injection: does the test suite catch one-line faults in every part of the library and the
# tool? Each fault below replaces one line of a source file, found by its exact text (leading and
# trailing blanks aside; the text must occur on exactly one line, else the fault "does not apply"
# and says so). The faults are built one at a time into a scratch copy of the tree (Release, no
# sanitizers, ccache) and run against the suite; the run stops at the first failing test.
#
#   fault-check.sh [--list] [--only ID[,ID...]] [--rev REV] [--no-baseline]
#     --list         print the faults and exit
#     --only         run these faults only
#     --rev          test the tracked files of this commit instead of the working tree's
#     --no-baseline  skip the first run of the whole suite without faults
#   FAULT_DIR      scratch folder (default build/fault-check): src/ the copy, build/ its build
#   FAULT_TIMEOUT  seconds a single test may take before it counts as failed (default 150)
#   FAULT_EXCLUDE  ctest -E pattern of tests left out of every run (known flaky ones)
#   JOBS           build and test jobs (default 2)
#
# Each fault names the test programs that should catch it: those are built and run first, and
# only when they pass is the whole suite built and run. One line per fault: caught by which test,
# NOT CAUGHT, does not apply or does not build; the same lines go to FAULT_DIR/results.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

FAULT_DIR=${FAULT_DIR:-build/fault-check}
FAULT_TIMEOUT=${FAULT_TIMEOUT:-150}
JOBS=${JOBS:-2}
only="" rev="" baseline=1 list=0
while [ $# -gt 0 ]; do
    case "$1" in
        --list) list=1 ;;
        --only) only=",$2,"; shift ;;
        --rev) rev=$2; shift ;;
        --no-baseline) baseline=0 ;;
        -h|--help) sed -n '2,22p' "$0"; exit 0 ;;
        *) echo "fault-check: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

# ID @@ part @@ file @@ test programs that should catch it @@ line as it stands @@ line with the fault
faults() {
    cat <<'EOF'
T01 @@ times @@ RuvarEduzid/FFMpegDecoder.cpp @@ FFMpegDecoderTest DecoderTest @@ return av_rescale_q(pts - m_streamStartPts, timeBase, kFileTimeTicks) + m_startTimeUtc.GetFileTime(); @@ return av_rescale_q(pts, timeBase, kFileTimeTicks) + m_startTimeUtc.GetFileTime();
T02 @@ times @@ RuvarEduzid/FFMpegDecoder.cpp @@ FFMpegDecoderTest DecoderTest @@ if (m_utcOffsetHours > 0) time += static_cast<long long>(std::trunc(m_utcOffsetHours * 60)) * 600000000LL; @@ if (m_utcOffsetHours > 0) time += static_cast<long long>(m_utcOffsetHours) * 36000000000LL;
T03 @@ times @@ RuvarEduzid/WebStreamDetail.cpp @@ LiveStreamDeliveryTest @@ const int64_t offset = av_rescale_rnd(delta, 1LL << 32, clockRate, AV_ROUND_ZERO); @@ const int64_t offset = av_rescale_rnd(delta, 1LL << 33, clockRate, AV_ROUND_ZERO);
T04 @@ times @@ RuvarEduzid/SeeTecWebStreamFfmpegDecoder.cpp @@ LiveStreamDeliveryTest @@ const int64_t deltaMs = WebStreamDetail::FloorDivide(deltaTicks, 90); @@ const int64_t deltaMs = WebStreamDetail::FloorDivide(deltaTicks, 45);
T05 @@ times @@ RuvarEduzid/VmsAgentWebStreamFfmpegDecoder.cpp @@ LiveStreamDeliveryTest @@ int64_t VmsAgentWebStreamFfmpegDecoder::RangeStart(int64_t replyRangeStart) { return replyRangeStart / 10; } @@ int64_t VmsAgentWebStreamFfmpegDecoder::RangeStart(int64_t replyRangeStart) { return replyRangeStart / 100; }
T06 @@ times @@ RuvarEduzid/DvtelWebStreamFfmpegDecoder.cpp @@ LiveStreamDeliveryTest LoadTest @@ if (FrameRtpTiming(frame, &timing) && timing.has_callback_value) return FileTime(timing.callback_value); @@ if (false && FrameRtpTiming(frame, &timing)) return FileTime(timing.callback_value);
T07 @@ times @@ RuvarEduzid/GenetecWebStreamFfmpegDecoder.cpp @@ LiveStreamDeliveryTest @@ const int64_t startUs = startTimeRealtime == AV_NOPTS_VALUE ? 0 : startTimeRealtime; @@ const int64_t startUs = 0;
T08 @@ times @@ RuvarEduzid/IssWebStreamFfmpegDecoder.cpp @@ LiveStreamDeliveryTest @@ openTimeTicks = NowTicks(); @@ openTimeTicks = 0;
T09 @@ times @@ RuvarEduzid/FFMpegDecoder.cpp @@ DecoderLiveBufferTest @@ if (m_memoryInput.IsQueue()) return (DateTime::NowUTC().GetFileTime() - DateTime::UnixEpochTicks) / DateTime::TicksPerSecond; @@ if (m_memoryInput.IsQueue()) return DateTime::NowUTC().GetFileTime() / DateTime::TicksPerSecond;
T10 @@ times @@ Rtsp/RtpFrameTimeline.cpp @@ LiveStreamDeliveryTest RtspParsersTest RtspTest @@ m_position += static_cast<int32_t>(timestamp - m_previous); @@ m_position += static_cast<int64_t>(timestamp) - static_cast<int64_t>(m_previous);
V01 @@ vms rules @@ RuvarEduzid/SeeTecWebStreamFfmpegDecoder.cpp @@ WebStreamRetryTest WebStreamTest @@ for (int retry = 0; !reply && retry < kRetries && !m_stopRetries; ++retry) { @@ for (int retry = 0; !reply && retry < kRetries - 1 && !m_stopRetries; ++retry) {
V02 @@ vms rules @@ Rtsp/RtspInput.cpp @@ LiveStreamDeliveryTest @@ m_session->Timeline().MarkOrigin(); @@ (void)m_session;
V03 @@ vms rules @@ RuvarEduzid/GenericWebStreamFfmpegDecoder.cpp @@ LiveStreamDeliveryTest WebStreamDecoderTest WebStreamTest @@ HoldFrame(std::move(frame)); @@ (void)frame;
V04 @@ vms rules @@ RuvarEduzid/MilestoneWebStreamFfmpegDecoder.cpp @@ WebStreamRetryTest WebStreamTest @@ HALVORA_THROW("Cannot get rtsp range start parameter from Milestone"); @@ return 1;
P01 @@ pixels @@ RuvarEduzid/DecodedAvFrame.cpp @@ DecodedAvFrameTest FrameTest FFMpegDecoderTest DecoderTest @@ SwsContextPtr sws(sws_getContext(width, height, srcFormat, width, height, AV_PIX_FMT_YUV420P, 0, nullptr, @@ SwsContextPtr sws(sws_getContext(width, height, srcFormat, width, height, AV_PIX_FMT_YUV420P, SWS_POINT, nullptr,
P02 @@ pixels @@ RuvarEduzid/FrameLayout.h @@ DecodedAvFrameTest FrameTest @@ if (data && image.IsVerticallyFlipped() && image.Height() > 0) { @@ if (false) {
P03 @@ pixels @@ RuvarEduzid/FfmpegImageConverter.cpp @@ FfmpegImageConverterTest FrameTest @@ const uint8_t* const src[4] = {y, u, v, nullptr}; @@ const uint8_t* const src[4] = {y, v, u, nullptr};
P04 @@ pixels @@ RuvarEduzid/AVFrameProxy.cpp @@ DecodedAvFrameTest FrameTest GenericVideoWriterTest VideoWriterTest @@ static_cast<AVPixelFormat>(frame->format), SWS_BILINEAR, nullptr, nullptr, @@ static_cast<AVPixelFormat>(frame->format), SWS_BICUBIC, nullptr, nullptr,
D01 @@ decoder @@ RuvarEduzid/FFMpegDecoder.cpp @@ FFMpegDecoderTest DecoderTest @@ int index = frameNumber > 0 ? frameNumber - 1 : frameNumber; @@ int index = frameNumber;
D02 @@ decoder @@ RuvarEduzid/FFMpegDecoder.cpp @@ FFMpegDecoderTest DecoderTest @@ if (m_seekTargetPts != 0 && pts < m_seekTargetPts) { @@ if (false) {
R01 @@ rtsp @@ Rtsp/RtspAuthenticator.cpp @@ RtspSessionTest RtspTest RtspExtensionsTest FFMpegDecoderRtspTest @@ const std::string ha2 = Md5Hex(method + ":" + uri); @@ const std::string ha2 = Md5Hex("GET:" + uri);
R02 @@ rtsp @@ Rtsp/RtspAuthenticator.cpp @@ RtspExtensionsTest RtspTest RtspParsersTest @@ response = Md5Hex(ha1 + ":" + m_nonce + ":" + nc + ":" + m_cnonce + ":auth:" + ha2); @@ response = Md5Hex(ha1 + ":" + m_nonce + ":" + m_cnonce + ":auth:" + ha2);
R03 @@ rtsp @@ Rtsp/RtspStreamReader.cpp @@ RtspParsersTest RtspTest RtspSessionTest @@ if (avail < 4 + length) return false; @@ if (avail < length) return false;
R04 @@ rtsp @@ Rtsp/RtspResponse.cpp @@ RtspParsersTest RtspTest RtspExtensionsTest @@ int64_t us = seconds * 1000000; @@ int64_t us = seconds * 100000;
R05 @@ rtsp @@ Rtsp/RtspUrl.cpp @@ RtspSessionTest RtspTest RtspParsersTest @@ out.push_back(static_cast<char>(hi * 16 + lo)); @@ out.push_back(static_cast<char>(hi * 10 + lo));
R06 @@ rtsp @@ Rtsp/RtspSession.cpp @@ RtspExtensionsTest RtspTest @@ const auto interval = std::chrono::milliseconds(m_sessionTimeoutS * 1000 / 2); @@ const auto interval = std::chrono::milliseconds(m_sessionTimeoutS * 1000 * 2);
R07 @@ rtsp @@ Rtsp/RtspSession.cpp @@ RtspSessionTest RtspTest @@ rc = SetupMedia(m_mediaControlUrl, RtspTransportMode::Udp); @@ rc = SetupMedia(m_mediaControlUrl, RtspTransportMode::Interleaved);
W01 @@ writers @@ RuvarEduzid/GenericVideoWriter.h @@ GenericVideoWriterTest VideoWriterTest @@ static constexpr int GopSize = 12; @@ static constexpr int GopSize = 13;
W02 @@ writers @@ RuvarEduzid/H264_MP4Convertor.cpp @@ H264Mp4ConvertorTest VideoWriterTest @@ const int rate = static_cast<int>(fps * 100); @@ const int rate = static_cast<int>(fps) * 100;
W03 @@ writers @@ RuvarEduzid/GenericVideoWriter.cpp @@ GenericVideoWriterTest VideoWriterTest @@ frame->pts = m_frameCounter++; @@ frame->pts = 2 * m_frameCounter++;
H01 @@ hls @@ RuvarEduzid/HlsWriter.cpp @@ HlsWriterTest HlsTest @@ if (next.empty() || IsFileEmpty(next.c_str())) return; @@ if (next.empty()) return;
H02 @@ hls @@ RuvarEduzid/HlsWriter.cpp @@ HlsWriterFaultTest HlsTest @@ if (!m_completeSegments.count(name)) return; @@ (void)name;
H03 @@ hls @@ RuvarEduzid/HlsWriter.cpp @@ HlsWriterTest HlsTest @@ const int64_t full = static_cast<int64_t>(duration / chunk); @@ const int64_t full = static_cast<int64_t>(std::ceil(duration / chunk));
H04 @@ hls @@ RuvarEduzid/MultiStreamHlsWriter.cpp @@ MultiStreamHlsWriterTest HlsTest @@ << ",RESOLUTION=" << sub.config.width << "x" << sub.config.height << std::endl; @@ << ",RESOLUTION=" << sub.config.height << "x" << sub.config.width << std::endl;
H05 @@ hls @@ RuvarEduzid/HlsWriter.cpp @@ HlsWriterTest HlsTest @@ double gop = std::trunc(static_cast<double>(segmentDuration) * t.frameRate / gopsPerSegment); @@ double gop = std::round(static_cast<double>(segmentDuration) * t.frameRate / gopsPerSegment);
L01 @@ live buffer @@ RuvarEduzid/MemoryInput.cpp @@ DecoderLiveBufferTest @@ if (m_ranDry) { @@ if (false) {
L02 @@ live buffer @@ RuvarEduzid/MemoryInput.cpp @@ DecoderLiveBufferTest @@ if (packet->pos == last->pos && packet->size == last->size && @@ if (false && packet->size == last->size &&
N01 @@ nvenc @@ RuvarEduzid/NvVideoWriter.cpp @@ NvVideoWriterTest @@ row[2 * k] = u[k]; @@ row[2 * k] = v[k];
N02 @@ nvenc @@ RuvarEduzid/NvVideoWriter.cpp @@ NvVideoWriterTest @@ return outputStatus; @@ return NV_ENC_SUCCESS;
N03 @@ nvenc @@ RuvarEduzid/NvHWEncoder.cpp @@ NvVideoWriterTest NvHWEncoderTest @@ if (context && api.ctxPushCurrent && api.ctxPopCurrent) { @@ if (false) {
N04 @@ nvenc @@ RuvarEduzid/NvHWEncoder.cpp @@ NvVideoWriterTest NvHWEncoderTest @@ const NVENCSTATUS unmapped = UnmapCollectedInput(buffer); @@ const NVENCSTATUS unmapped = NV_ENC_SUCCESS;
U01 @@ tool @@ tools/ruvar/DecodeCommands.cpp @@ RuvarToolTest @@ while (maxFrames < 0 || index < maxFrames) { @@ while (maxFrames < 0 || index <= maxFrames) {
U02 @@ tool @@ tools/ruvar/Main.cpp @@ RuvarToolTest @@ int Ended(int code) { return Ruvar::StopSignal::Requested() ? 128 + Ruvar::StopSignal::Signal() : code; } @@ int Ended(int code) { return code; }
S01 @@ settings @@ RuvarEduzid/RuvarEduzidSettings.cpp @@ SettingsTest CommonTest LiveStreamDeliveryTest @@ ReadKey(ini, L"Rtsp", L"RtspTransport", v.rtspTransport); @@ ReadKey(ini, L"Rtsp", L"RtspTransprt", v.rtspTransport);
C01 @@ common @@ Common/StringUtility.cpp @@ CommonTest @@ for (size_t p = url.find('@', colon); p != std::string::npos; p = url.find('@', p + 1)) { @@ for (size_t p = url.find('@', colon); p != std::string::npos && at == std::string::npos; p = url.find('@', p + 1)) {
C02 @@ common @@ Common/DateTime.cpp @@ CommonTest LiveStreamDeliveryTest @@ const int64_t seconds = ((DaysFromCivil(year, month, day) * 24 + hour) * 60 + minute) * 60 + second; @@ const int64_t seconds = ((DaysFromCivil(year, month, day) * 24 + hour) * 60 + minute) * 60;
C03 @@ common @@ Common/INIFileManager.cpp @@ CommonTest SettingsTest @@ inSection = StringUtility::ToLower(name) == wantedSection; @@ inSection = name == wantedSection;
EOF
}

if [ "$list" = 1 ]; then
    faults | awk -F ' @@ ' '{ printf "%s  %-12s %s\n      %s\n   -> %s\n", $1, $2, $3, $5, $6 }'
    exit 0
fi

src=$FAULT_DIR/src
build=$FAULT_DIR/build
results=$FAULT_DIR/results.txt
mkdir -p "$FAULT_DIR"
FAULT_DIR=$(cd "$FAULT_DIR" && pwd)
src=$FAULT_DIR/src
build=$FAULT_DIR/build
results=$FAULT_DIR/results.txt
log=$FAULT_DIR/log

# The scratch copy: the tracked files only, so that nothing of the real tree is touched or built.
rm -rf "$src"
mkdir -p "$src" "$log"
if [ -n "$rev" ]; then
    git archive "$rev" | tar -x -C "$src"
else
    git ls-files -z | tar --null -T - -cf - | tar -x -C "$src"
fi
# tar keeps the files' times: newer than any object an earlier run left in the build (a fault built
# last, its file since restored), so that everything is compiled from the copy.
find "$src" -type f -exec touch {} +

export CCACHE_BASEDIR=$FAULT_DIR CCACHE_NOHASHDIR=true
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DRUVAR_WERROR=OFF -DRUVAR_BUILD_EXAMPLES=ON \
    -DRUVAR_TEST_TIMEOUT="$FAULT_TIMEOUT" -DCMAKE_INSTALL_PREFIX=/usr "${launcher[@]}" >"$log/configure.txt"

start=$(date +%s)
echo "fault-check: building $src (Release) in $build"
cmake --build "$build" -j "$JOBS" >"$log/build.txt" 2>&1 || { tail -30 "$log/build.txt"; exit 1; }

# Names of the tests that failed in a ctest log, first one first.
failed_tests() { sed -n '/tests FAILED:/,$ s/^[[:space:]]*[0-9][0-9]* - \(.*\) ([^()]*)$/\1/p' "$1"; }

# Tests that fail without any fault are left out of the fault runs (and named here).
exclude=${FAULT_EXCLUDE:-^$}
if [ "$baseline" = 1 ]; then
    echo "fault-check: the whole suite without faults"
    if ! ctest --test-dir "$build" -j "$JOBS" --timeout "$FAULT_TIMEOUT" >"$log/baseline.txt" 2>&1 </dev/null; then
        mapfile -t broken < <(failed_tests "$log/baseline.txt")
        echo "fault-check: WARNING: failing without a fault, left out: ${broken[*]}"
        exclude="$exclude|^($(printf '%s\n' "${broken[@]}" | sed 's/[][().*+?^$|\\]/\\&/g' | paste -sd'|'))\$"
    fi
    echo "fault-check: baseline done after $(( $(date +%s) - start )) s"
fi

# Replaces the one line of `file` whose text is `old` by `new` (same indentation); exit 3 when the
# text is not on exactly one line.
apply() {
    python3 - "$1" "$2" "$3" <<'PY'
import sys
path, old, new = sys.argv[1], sys.argv[2].strip(), sys.argv[3].strip()
lines = open(path, encoding="utf-8").read().split("\n")
hits = [i for i, line in enumerate(lines) if line.strip() == old]
if len(hits) != 1:
    sys.exit(3)
i = hits[0]
lines[i] = lines[i][:len(lines[i]) - len(lines[i].lstrip())] + new
open(path, "w", encoding="utf-8").write("\n".join(lines))
PY
}

: >"$results"
report() {
    printf '%-4s %-12s %-48s %s\n' "$1" "$2" "$3" "$4" | tee -a "$results"
}

caught=0 missed=0 skipped=0
# The faults come on descriptor 3: the builds and tests below read their standard input.
while IFS= read -r entry <&3; do
    [ -z "$entry" ] && continue
    id=$(awk -F ' @@ ' '{print $1}' <<<"$entry")
    part=$(awk -F ' @@ ' '{print $2}' <<<"$entry")
    file=$(awk -F ' @@ ' '{print $3}' <<<"$entry")
    programs=$(awk -F ' @@ ' '{print $4}' <<<"$entry")
    old=$(awk -F ' @@ ' '{print $5}' <<<"$entry")
    new=$(awk -F ' @@ ' '{print $6}' <<<"$entry")
    if [ -n "$only" ] && [[ "$only" != *",$id,"* ]]; then continue; fi
    t0=$(date +%s)
    cp "$src/$file" "$FAULT_DIR/original"
    if ! apply "$src/$file" "$old" "$new"; then
        report "$id" "$part" "$file" "does not apply (the line changed)"
        skipped=$((skipped + 1))
        continue
    fi
    verdict=""
    # The programs named for the fault (only those that still exist), then everything else.
    read -r -a named <<<"$programs"
    present=()
    for p in "${named[@]}"; do [ -f "$src/tests/$p.cpp" ] && present+=("$p"); done
    labels='^$'
    [ ${#present[@]} -gt 0 ] && labels="^($(IFS='|'; echo "${present[*]}"))\$"
    if [ ${#present[@]} -gt 0 ]; then
        if ! cmake --build "$build" -j "$JOBS" --target "${present[@]}" ruvar >"$log/$id.build.txt" 2>&1; then
            verdict="does not build"
        else
            ctest --test-dir "$build" -j "$JOBS" --timeout "$FAULT_TIMEOUT" --stop-on-failure -L "$labels" -E "$exclude" \
                >"$log/$id.named.txt" 2>&1 </dev/null || true
            first=$(failed_tests "$log/$id.named.txt" | head -1)
            [ -n "$first" ] && verdict="caught by $first"
        fi
    fi
    if [ -z "$verdict" ]; then
        if ! cmake --build "$build" -j "$JOBS" >"$log/$id.build.txt" 2>&1; then
            verdict="does not build"
        else
            ctest --test-dir "$build" -j "$JOBS" --timeout "$FAULT_TIMEOUT" --stop-on-failure -LE "$labels" -E "$exclude" \
                >"$log/$id.all.txt" 2>&1 </dev/null || true
            first=$(failed_tests "$log/$id.all.txt" | head -1)
            [ -n "$first" ] && verdict="caught by $first" || verdict="NOT CAUGHT"
        fi
    fi
    cp "$FAULT_DIR/original" "$src/$file"
    case "$verdict" in
        caught*) caught=$((caught + 1)) ;;
        NOT*) missed=$((missed + 1)) ;;
        *) skipped=$((skipped + 1)) ;;
    esac
    report "$id" "$part" "$file" "$verdict ($(( $(date +%s) - t0 )) s)"
done 3< <(faults)

echo "fault-check: $caught caught, $missed not caught, $skipped not run, in $(( $(date +%s) - start )) s" | tee -a "$results"
[ "$missed" = 0 ]

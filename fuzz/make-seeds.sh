#!/usr/bin/env bash
# Fills a fuzz corpus folder with a few tiny real files made by ffmpeg (once).
set -euo pipefail
dir=$1
mkdir -p "$dir"
hostile() { # shapes small enough to mutate: many track fragments in one moof, of one track or each of another, many moofs, deep nesting
    [ -e "$dir/hostile-nesting.mp4" ] || for shape in trafs tracks moofs nesting; do
        python3 "$(dirname "$0")/hostile-shapes.py" "$shape" "$([ "$shape" = moofs ] && echo 40 || echo 300)" "$dir/frag-implicit.mp4" "$dir/hostile-$shape.mp4"
    done
}
# One seed per codec's sample entry and configuration box (dOps, dfLa, alac, dec3, dac3).
if command -v ffmpeg >/dev/null && [ ! -e "$dir/codec-eac3.mov" ]; then
    t=(-nostdin -v error -y -f lavfi -i "sine=frequency=440:duration=0.1")
    ffmpeg "${t[@]}" -c:a libopus -strict -2 "$dir/codec-opus.mp4" || true
    ffmpeg "${t[@]}" -c:a flac -sample_fmt s32 -strict -2 "$dir/codec-flac.mp4" || true
    ffmpeg "${t[@]}" -c:a alac "$dir/codec-alac.m4a" || true
    ffmpeg "${t[@]}" -c:a alac -sample_fmt s32p "$dir/codec-alac.mov" || true
    ffmpeg "${t[@]}" -c:a libvorbis "$dir/codec-vorbis.mp4" || true
    ffmpeg "${t[@]}" -c:a ac3 "$dir/codec-ac3.mp4" || true
    ffmpeg "${t[@]}" -c:a eac3 -ac 6 "$dir/codec-eac3.mov" || true
fi
[ -e "$dir/frag-hybrid.mov" ] && hostile && exec "$(dirname "$0")/make-claim-seeds.sh" "$dir"
command -v ffmpeg >/dev/null || { echo "ffmpeg missing: starting from an empty corpus" >&2; exit 0; }
ff() { ffmpeg -nostdin -v error -y "$@"; }
a=(-f lavfi -i "sine=frequency=440:duration=0.1")
v=(-f lavfi -i "testsrc=duration=0.1:size=32x32:rate=10")
ff "${a[@]}" "${v[@]}" -c:a aac -c:v mpeg4 -shortest "$dir/seed.mp4"
ff "${a[@]}" "${v[@]}" -c:a aac -c:v mpeg4 -shortest -movflags +faststart "$dir/faststart.mp4"
ff "${a[@]}" -c:a aac -ar 96000 "$dir/v2.mov"
ff "${a[@]}" -c:a aac "$dir/audio.m4a"
ff "${a[@]}" "${v[@]}" -c:a aac -c:v mpeg4 -shortest -movflags frag_keyframe+empty_moov "$dir/frag.mp4"
ff "${a[@]}" -c:a libmp3lame "$dir/mp3.mp4"
# Several AAC tracks with names and languages, and timing that is not uniform.
ff "${a[@]}" -f lavfi -i "sine=frequency=660:duration=0.1:sample_rate=22050" "${v[@]}" -map 0 -map 1 -map 2 \
    -c:a aac -c:v mpeg4 -ac:a:1 1 -metadata:s:a:0 language=eng -metadata:s:a:1 handler_name=Mic -shortest "$dir/multi.mp4"
ff -i "$dir/audio.m4a" -c copy -bsf:a "setts=ts=if(eq(N\\,0)\\,TS\\,TS+2176)" "$dir/timing.mp4"
# Fragments in every base data offset rule, one moof per track, the movie box
# holding the first fragment.
ff "${a[@]}" "${v[@]}" -c:a aac -c:v mpeg4 -shortest -frag_duration 50000 \
    -movflags +empty_moov+separate_moof+default_base_moof "$dir/frag-separate.mp4"
ff "${a[@]}" "${v[@]}" -c:a aac -c:v mpeg4 -shortest -movflags +frag_keyframe+empty_moov+omit_tfhd_offset \
    "$dir/frag-implicit.mp4"
ff "${a[@]}" "${v[@]}" -c:a aac -c:v mpeg4 -shortest -frag_duration 50000 -movflags +frag_keyframe "$dir/frag-hybrid.mov"
hostile
"$(dirname "$0")/make-claim-seeds.sh" "$dir"

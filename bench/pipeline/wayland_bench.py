#!/usr/bin/python3
"""Figures on a Wayland desktop: quorvex-screencap against GStreamer's
pipewiresrc ! videoconvert ! x264enc speed-preset=ultrafast tune=zerolatency, both at 30 fps and 8 Mbit/s,
each with a screen-cast portal session of its own, in turn, two rounds, at 1080p; the helper on its default
path (x264 with loss recovery), on OpenH264 (QX_H264_BACKEND=openh264, the default until recovery moved to
x264) and with --ltr false. Runs inside a test desktop
(build the targets quorvex-screencap and wayland_latency first):

  b=build; bash tests/support/wayland/session.sh --size 1920x1080 \
    --preload $b/tests/e2e/wayland/libqx_screencopy_shm_only.so --copy "$b/Quorvex Host.app/Contents/MacOS/quorvex-screencap" \
    --copy $b/bench/pipeline/wayland_latency --copy bench/pipeline/wayland_bench.py -- @wayland_bench.py desktop|motion

The screen is a fullscreen client (wayland_latency draw) showing the X11 bench's pictures at 30 fps: desktop, a
window moving over a busy still background while text is typed; motion, a pattern panning under moving boxes.
Every frame carries its number in the top-left corner; the client notes when each commit left it and when the
compositor answered its frame callback, having drawn the output with it ("on screen").
Per pipeline: frames out per second; CPU per frame, the process's own CPU only (not the compositor's, the
portal's or PipeWire's, which all pipelines share) over 10 s after 3 s of start-up; change-to-output latency,
from a frame being on screen to the last byte of the first picture showing it read from the pipe
(wayland_latency read decodes the output with libavcodec afterwards). "pipewire" is a bare PipeWire consumer of
its own portal session (wayland_latency probe): on screen to the buffer's arrival, what the portal takes before
any pipeline sees the frame. The last line is the compositor's own part, commit to on screen, which depends on
where the client's commits fall against the output's refresh. Frames the capture skipped have no latency;
"seen" counts those that appeared. QX_BENCH_SECS shortens the measured window.
"""
import os
import subprocess
import sys
import time

from gi.repository import Gio, GLib

bus = Gio.bus_get_sync(Gio.BusType.SESSION)
sender = bus.get_unique_name()[1:].replace('.', '_')
loop = GLib.MainLoop()
counter = [0]

def request(method, args, sig):
    counter[0] += 1
    tok = f"qxb{counter[0]}"
    path = f"/org/freedesktop/portal/desktop/request/{sender}/{tok}"
    result = {}
    def on_resp(conn, s, p, i, name, params):
        result['r'] = params.unpack()
        loop.quit()
    sub = bus.signal_subscribe(None, 'org.freedesktop.portal.Request', 'Response', path, None, 0, on_resp)
    opts = dict(args[-1]); opts['handle_token'] = GLib.Variant('s', tok)
    params = GLib.Variant(sig, tuple(args[:-1]) + (opts,))
    bus.call_sync('org.freedesktop.portal.Desktop', '/org/freedesktop/portal/desktop', 'org.freedesktop.portal.ScreenCast', method, params, None, 0, -1, None)
    loop.run()
    bus.signal_unsubscribe(sub)
    return result['r']

def portal_session():
    r = request('CreateSession', [{'session_handle_token': GLib.Variant('s', 'qxbs%d' % time.time_ns())}], '(a{sv})')
    sess = r[1]['session_handle']
    request('SelectSources', [sess, {'types': GLib.Variant('u', 1), 'multiple': GLib.Variant('b', False), 'cursor_mode': GLib.Variant('u', 1), 'persist_mode': GLib.Variant('u', 2)}], '(oa{sv})')
    r = request('Start', [sess, '', {}], '(osa{sv})')
    # The helper's grant, as the host's "Allow..." stores it.
    d = os.path.expanduser('~/.local/state/Quorvex')
    os.makedirs(d, exist_ok=True)
    if not os.path.exists(d + '/screencast-token'):
        with open(d + '/screencast-token', 'w') as f:
            f.write(r[1]['restore_token'])
    node = r[1]['streams'][0][0]
    res, fdlist = bus.call_with_unix_fd_list_sync('org.freedesktop.portal.Desktop', '/org/freedesktop/portal/desktop', 'org.freedesktop.portal.ScreenCast', 'OpenPipeWireRemote', GLib.Variant('(oa{sv})', (sess, {})), None, 0, -1, None, None)
    fd = fdlist.get(res.unpack()[0])
    return sess, node, fd

def cpu(pid):
    f = open(f'/proc/{pid}/stat').read().rsplit(')', 1)[1].split()
    return (int(f[11]) + int(f[12])) / os.sysconf('SC_CLK_TCK')

SECS = int(os.environ.get("QX_BENCH_SECS", 10))
bindir = os.environ['QX_WAYLAND_BIN']
work = os.environ['QX_WAYLAND_HOME']
tool = bindir + '/wayland_latency'

def frames_shown():
    """Frame number -> (committed, on screen) in seconds, for the frames the compositor showed."""
    with open(work + '/frames') as f:
        rows = [line.split() for line in f if line.endswith('\n')]
    return {int(n): (int(c) / 1e9, int(p) / 1e9) for n, c, p in rows if int(p) > 0}

def measure(cmd, pass_fds=(), probe=False, env=None):
    """Runs a pipeline (or the probe) and returns fps, CPU ms per frame, CPU %, and latencies in ms."""
    out = work + '/pictures'
    if probe:
        p = subprocess.Popen(cmd + [out], pass_fds=pass_fds)
    else:
        p = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=open(work + "/stderr", "w"), pass_fds=pass_fds,
                             env=dict(os.environ, **(env or {})))
        reader = subprocess.Popen([tool, 'read', out], stdin=p.stdout)
        p.stdout.close()
    time.sleep(3)
    t0 = time.monotonic(); c0 = cpu(p.pid)
    time.sleep(SECS)
    t1 = time.monotonic(); c1 = cpu(p.pid)
    p.terminate(); p.wait(5)
    if not probe:
        reader.wait(30)
    shown = {n: t for n, (c, t) in frames_shown().items()}
    frames, first = 0, {}
    with open(out) as f:
        for line in f:
            at, n = line.split()[:2]
            at, n = int(at) / 1e9, int(n)
            if t0 <= at < t1:
                frames += 1
            if n >= 0 and n not in first:
                first[n] = at
    lat = sorted((first[n] - t) * 1000 for n, t in shown.items() if t0 <= t < t1 and n in first)
    put = sum(1 for t in shown.values() if t0 <= t < t1)
    return frames / SECS, (c1 - c0) * 1000 / max(frames, 1), (c1 - c0) / SECS * 100, lat, put

def pct(v, q):
    return v[min(len(v) - 1, int(q * len(v)))] if v else float('nan')

def report(name, m):
    fps, ms, load, lat, put = m
    line = f"{content:7} {name:11} fps {fps:5.1f}  "
    if name != 'pipewire':
        line += f"cpu/frame {ms:5.2f} ms  cpu {load:3.0f}%  "
    line += f"latency median {pct(lat, .5):5.1f}  p90 {pct(lat, .9):5.1f}  p99 {pct(lat, .99):5.1f} ms  seen {len(lat)}/{put}"
    print(line, flush=True)

def with_session(run):
    sess, node, fd = portal_session()
    try:
        return run(node, fd)
    finally:
        os.close(fd)
        bus.call_sync('org.freedesktop.portal.Desktop', sess, 'org.freedesktop.portal.Session', 'Close', None, None, 0, -1, None)

content = sys.argv[1]
cproc = subprocess.Popen([tool, 'draw', content, work + '/frames'])
time.sleep(2)
s0, n0, f0 = portal_session(); os.close(f0)
bus.call_sync('org.freedesktop.portal.Desktop', s0, 'org.freedesktop.portal.Session', 'Close', None, None, 0, -1, None)
try:
    for rnd in range(2):
        helpers = {}
        for name, extra, env in (('helper', [], {}), ('helper-openh264', [], {'QX_H264_BACKEND': 'openh264'}),
                                 ('helper-ltr-off', ['--ltr', 'false'], {})):
            m = measure([bindir + '/quorvex-screencap', '--audio', 'false', '--fps', '30', '--bitrate', '8000000', '--max-width', '1920'] + extra, env=env)
            report(name, m)
            # The helper's own figure for its encoder, from its statistics lines after the first (the keyframe).
            enc = [float(l.split('enc_ms=')[1].split('/')[0]) for l in open(work + '/stderr') if 'enc_ms=' in l][1:]
            if enc:
                print(f"{content:7} {name} encode {sum(enc) / len(enc):.1f} ms per frame (its own statistics)", flush=True)
            helpers[name] = m
        g = with_session(lambda node, fd: measure(['gst-launch-1.0', '-q', 'pipewiresrc', f'fd={fd}', f'path={node}', '!', 'videoconvert', '!', 'x264enc', 'speed-preset=ultrafast', 'tune=zerolatency', 'bitrate=8000', '!', 'fdsink'], pass_fds=(fd,)))
        report('gstreamer', g)
        for name, m in helpers.items():
            print(f"{content:7} {name}/gstreamer cpu per frame {m[1] / g[1] if g[1] else float('nan'):.2f}", flush=True)
        report('pipewire', with_session(lambda node, fd: measure([tool, 'probe', str(fd), str(node)], pass_fds=(fd,), probe=True)))
    on_screen = sorted((t - c) * 1000 for c, t in frames_shown().values())
    print(f"{content:7} compositor commit to screen median {pct(on_screen, .5):.1f}  p90 {pct(on_screen, .9):.1f}  p99 {pct(on_screen, .99):.1f} ms")
finally:
    cproc.terminate()
    cproc.wait(5)

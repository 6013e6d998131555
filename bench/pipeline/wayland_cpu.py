#!/usr/bin/python3
"""CPU per frame on a Wayland desktop: quorvex-screencap against GStreamer's
pipewiresrc ! videoconvert ! x264enc speed-preset=ultrafast tune=zerolatency, both at 30 fps and 8 Mbit/s,
each with a screen-cast portal session of its own, in turn, two rounds. Runs inside a test desktop:

  bash tests/support/wayland/session.sh --size 1920x1080 --preload build/tests/e2e/wayland/libqx_screencopy_shm_only.so \
    --copy "build/Quorvex Host.app/Contents/MacOS/quorvex-screencap" -- bench/pipeline/wayland_cpu.py motion|desktop

motion: a test pattern panning over the whole screen; desktop: a small animated window on a still background.
Counts the process's own CPU only (not the compositor's, the portal's or PipeWire's, which both pipelines share),
over 10 s after 3 s of start-up, and frames as access-unit delimiters in the output. No latency: the content
carries no frame numbers here.
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

SECS = 10
def measure(cmd, count, pass_fds=()):
    p = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, pass_fds=pass_fds)
    os.set_blocking(p.stdout.fileno(), False)
    buf = bytearray()
    def drain(t):
        end = time.monotonic() + t
        while time.monotonic() < end:
            try:
                d = os.read(p.stdout.fileno(), 1 << 20)
                if d: buf.extend(d)
                else: time.sleep(0.005)
            except BlockingIOError:
                time.sleep(0.005)
    drain(3)
    n0 = count(buf); c0 = cpu(p.pid)
    drain(SECS)
    n1 = count(buf); c1 = cpu(p.pid)
    p.terminate(); p.wait(5)
    frames = n1 - n0
    return frames / SECS, (c1 - c0) * 1000 / max(frames, 1), (c1 - c0) / SECS * 100

aud = lambda b: b.count(b'\x00\x00\x00\x01\x09')
bindir = os.environ['QX_WAYLAND_BIN']
content = sys.argv[1]
if content == 'motion':
    cproc = subprocess.Popen(['gst-launch-1.0', '-q', 'videotestsrc', 'pattern=smpte', 'horizontal-speed=8', '!', 'video/x-raw,width=1920,height=1080,framerate=30/1', '!', 'videoconvert', '!', 'waylandsink'], stderr=subprocess.DEVNULL)
else:
    cproc = subprocess.Popen(['weston-smoke'], stderr=subprocess.DEVNULL)
time.sleep(2)
s0, n0, f0 = portal_session(); os.close(f0)
bus.call_sync('org.freedesktop.portal.Desktop', s0, 'org.freedesktop.portal.Session', 'Close', None, None, 0, -1, None)
try:
    for rnd in range(2):
        h = measure([bindir + '/quorvex-screencap', '--audio', 'false', '--fps', '30', '--bitrate', '8000000', '--max-width', '1920'], aud)
        print(f"{content} helper   fps {h[0]:.1f}  cpu/frame {h[1]:.2f} ms  cpu {h[2]:.0f}%", flush=True)
        sess, node, fd = portal_session()
        g = measure(['gst-launch-1.0', '-q', 'pipewiresrc', f'fd={fd}', f'path={node}', '!', 'videoconvert', '!', 'x264enc', 'speed-preset=ultrafast', 'tune=zerolatency', 'bitrate=8000', '!', 'fdsink'], aud, pass_fds=(fd,))
        os.close(fd)
        bus.call_sync('org.freedesktop.portal.Desktop', sess, 'org.freedesktop.portal.Session', 'Close', None, None, 0, -1, None)
        print(f"{content} gstreamer fps {g[0]:.1f}  cpu/frame {g[1]:.2f} ms  cpu {g[2]:.0f}%  ratio {h[1]/g[1] if g[1] else float('nan'):.2f}", flush=True)
finally:
    cproc.terminate()

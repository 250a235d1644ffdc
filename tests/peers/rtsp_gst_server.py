#!/usr/bin/python3
"""RTSP test server on 127.0.0.1 built on GStreamer's RTSP server.

Prints the stream URL ("rtsp://127.0.0.1:PORT/PATH") as the first line on standard output
once the server listens, then serves until it is killed, its parent process goes away, or
--lifetime seconds have passed.

Sources:
  --source file --clip CLIP.mp4   an H.264 MP4 clip (make_clip.sh), played once per session
  --source live                   videotestsrc encoded by x264enc (one key frame per second)
Stream shape:
  --params sdp                    parameter sets only in the SDP (sprop-parameter-sets)
  --params inband                 SPS and PPS also sent in-band before every IDR frame
  --aggregate                     STAP-A aggregation (rtph264pay aggregate-mode=zero-latency)
  --slices N                      live source: N slices per picture
  --audio                         live source: AAC audio as a second track
Access:
  --auth basic|digest --user U --password P
Other:
  --port N                        fixed port (to restart a server on the same port); 0 = any
  --shared                        one pipeline for all clients (many clients, one source)

Needs the Debian interpreter with gi and the GStreamer RTSP server bindings
(python3-gi, gir1.2-gst-rtsp-server-1.0).
"""

import argparse
import os
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--source", choices=("file", "live"), default="live")
    p.add_argument("--clip", help="MP4 clip for --source file")
    p.add_argument("--params", choices=("sdp", "inband"), default="sdp")
    p.add_argument("--aggregate", action="store_true")
    p.add_argument("--slices", type=int, default=1)
    p.add_argument("--audio", action="store_true")
    p.add_argument("--auth", choices=("none", "basic", "digest"), default="none")
    p.add_argument("--user", default="user")
    p.add_argument("--password", default="secret")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--path", default="/test")
    p.add_argument("--width", type=int, default=320)
    p.add_argument("--height", type=int, default=240)
    p.add_argument("--fps", type=int, default=25)
    p.add_argument("--bitrate", type=int, default=400, help="live source, kbit/s")
    p.add_argument("--shared", action="store_true")
    p.add_argument("--lifetime", type=float, default=120.0, help="seconds before exiting by itself")
    a = p.parse_args(argv)
    if a.source == "file" and not a.clip:
        p.error("--source file needs --clip")
    if a.audio and a.source != "live":
        p.error("--audio needs --source live")
    if not a.path.startswith("/"):
        a.path = "/" + a.path
    return a


def launch_line(a):
    pay = "rtph264pay name=pay0 pt=96 config-interval=%d aggregate-mode=%s" % (
        -1 if a.params == "inband" else 0,
        "zero-latency" if a.aggregate else "none",
    )
    if a.source == "file":
        # The MP4 carries the parameter sets in its avcC box only.
        video = "filesrc location=\"%s\" ! qtdemux ! h264parse ! %s" % (a.clip, pay)
    else:
        # The avc caps make x264enc keep SPS/PPS out of the stream (codec data only), so
        # config-interval alone decides whether they also travel in-band.
        options = "repeat-headers=0:aud=0" + (":slices=%d" % a.slices if a.slices > 1 else "")
        video = (
            "videotestsrc is-live=true pattern=ball ! "
            "video/x-raw,width=%d,height=%d,framerate=%d/1 ! "
            "x264enc tune=zerolatency speed-preset=ultrafast threads=1 key-int-max=%d bitrate=%d "
            "option-string=\"%s\" ! video/x-h264,stream-format=avc,alignment=au,profile=constrained-baseline ! %s"
            % (a.width, a.height, a.fps, a.fps, a.bitrate, options, pay)
        )
    audio = ""
    if a.audio:
        audio = (
            " audiotestsrc is-live=true wave=sine ! audio/x-raw,rate=48000,channels=1 ! "
            "audioconvert ! avenc_aac ! rtpmp4gpay name=pay1 pt=97"
        )
    return "( %s%s )" % (video, audio)


def make_auth(a, factory):
    auth = GstRtspServer.RTSPAuth()
    token = GstRtspServer.RTSPToken()
    token.set_string("media.factory.role", a.user)
    if a.auth == "basic":
        auth.set_supported_methods(GstRtsp.RTSPAuthMethod.BASIC)
        auth.add_basic(GstRtspServer.RTSPAuth.make_basic(a.user, a.password), token)
    else:
        auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
        auth.add_digest(a.user, a.password, token)
    permissions = GstRtspServer.RTSPPermissions()
    permissions.add_permission_for_role(a.user, "media.factory.access", True)
    permissions.add_permission_for_role(a.user, "media.factory.construct", True)
    factory.set_permissions(permissions)
    return auth


def main(argv):
    a = parse_args(argv)
    Gst.init(None)

    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(a.port))

    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(launch_line(a))
    factory.set_shared(a.shared)
    factory.set_protocols(GstRtsp.RTSPLowerTrans.TCP)
    if a.auth != "none":
        server.set_auth(make_auth(a, factory))
    server.get_mount_points().add_factory(a.path, factory)

    if server.attach(None) == 0:
        sys.stderr.write("cannot listen on 127.0.0.1:%d\n" % a.port)
        return 1

    sys.stdout.write("rtsp://127.0.0.1:%d%s\n" % (server.get_bound_port(), a.path))
    sys.stdout.flush()
    # Nothing else goes to stdout: the reader may already have closed its end.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)

    loop = GLib.MainLoop()
    parent = os.getppid()

    def parent_gone():
        if os.getppid() != parent:
            loop.quit()
            return False
        return True

    GLib.timeout_add(500, parent_gone)
    GLib.timeout_add(int(a.lifetime * 1000), loop.quit)
    for sig in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/python3
"""Finds a camera, captures a depth frame and a colour frame, and writes the point cloud, a
coloured point cloud, the depth image and the colour image.

    capture_cloud.py [--ip ADDRESS] [--exposure MICROSECONDS] [--output DIRECTORY]

Try it against the virtual camera, in a network namespace of its own:

    scripts/netns-run.sh --adapter tv0,169.254.1.1/16 --camera tv0,169.254.1.10/16 -- \\
        env PYTHONPATH=build/python /usr/bin/python3 examples/python/capture_cloud.py \\
        --output /tmp/capture
"""

import argparse
import os
import sys

import numpy as np

import tavisdk
from tavisdk import PixelFormat

DEPTH_CHANNEL, COLOUR_CHANNEL = 0, 1


def choose(cameras, ip):
    for info in cameras:
        where = "" if info.same_segment else " (other subnet)"
        print("camera %d at %s, version %s%s" % (info.index, info.ip, info.device_version, where))
    matching = [info for info in cameras if ip in (None, info.ip)]
    if not matching:
        sys.exit("no camera found%s" % (" at " + ip if ip else ""))
    return matching[0]


def capture(camera):
    """One depth frame and one colour frame, taken while both channels stream."""
    with camera.stream(DEPTH_CHANNEL) as depth_stream, \
            camera.stream(COLOUR_CHANNEL) as colour_stream:
        with camera.acquisition():
            return depth_stream.capture(timeout=10), colour_stream.capture(timeout=10)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ip", help="address of the camera (default: the first found)")
    parser.add_argument("--exposure", type=int, help="depth sensor's exposure time in µs")
    parser.add_argument("--output", default=".", help="directory for the files")
    arguments = parser.parse_args()
    os.makedirs(arguments.output, exist_ok=True)

    info = choose(tavisdk.discover(), arguments.ip)
    try:
        with tavisdk.Camera(info) as camera:
            print("serial number", camera.read_string("DeviceSerialNumber"))
            if arguments.exposure:
                camera.set_exposure_time(arguments.exposure, sensor=0)
            print("exposure time", camera.exposure_time(0), "µs")
            camera.set_feature("PixelFormat", PixelFormat.RGB8, channel=COLOUR_CHANNEL)

            depth, colour = capture(camera)
            points = depth.points()  # (height, width, 3) float32, millimetres
            measured = points[..., 2] > 0
            print("depth frame %dx%d: %d points measured, Z from %.1f to %.1f mm" % (
                depth.width, depth.height, measured.sum(), points[..., 2][measured].min(),
                points[..., 2][measured].max()))
            fused = camera.colour_cloud(colour, depth)  # X, Y, Z, B, G, R per point
            coloured = fused[..., 2] > 0
            print("colour frame %dx%d: %d points coloured, mean colour (R, G, B) %s" % (
                colour.width, colour.height, coloured.sum(),
                np.round(fused[coloured][:, [5, 4, 3]].mean(axis=0)).astype(int)))

            def output(name):
                return os.path.join(arguments.output, name)

            depth.save_pcd(output("cloud.pcd"))
            depth.save_ply(output("cloud.ply"))
            depth.save_png(output("depth.png"))
            colour.save_bmp(output("colour.bmp"))
            camera.save_coloured_txt(depth, fused, output("coloured.txt"))
            print("written to", os.path.abspath(arguments.output))
    except tavisdk.TaviError as error:
        sys.exit("%s (code %d, %s)" % (error, error.code, error.name))


if __name__ == "__main__":
    main()

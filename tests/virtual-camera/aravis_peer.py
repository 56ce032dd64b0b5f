#!/usr/bin/python3
"""A generic GigE Vision client (Aravis) finds the virtual camera, reads its description and
streams channel 0: the camera follows the standard, not only what the library asks of it."""
import os
import sys

import gi

gi.require_version("Aravis", "0.8")
from gi.repository import Aravis  # noqa: E402


def main():
    address = os.environ["TAVI_CAMERA_0_IP"]
    Aravis.update_device_list()
    found = [Aravis.get_device_address(i) for i in range(Aravis.get_n_devices())]
    if address not in found:
        print(f"camera {address} not discovered, found {found}")
        return 1
    camera = Aravis.Camera.new(address)
    if camera.get_string("DeviceSerialNumber") != "VC0":
        print("serial number read through the description is wrong")
        return 1
    camera.set_region(0, 0, 64, 48)
    camera.gv_set_packet_size(1500)
    payload = camera.get_payload()
    if payload != 64 * 48 * 6:
        print(f"payload size {payload} does not follow the region")
        return 1
    stream = camera.create_stream(None, None)
    for _ in range(4):
        stream.push_buffer(Aravis.Buffer.new_allocate(payload))
    camera.start_acquisition()
    good = 0
    for _ in range(3):
        buffer = stream.timeout_pop_buffer(2_000_000)
        if buffer is None:
            break
        if (buffer.get_status() == Aravis.BufferStatus.SUCCESS and buffer.get_image_width() == 64
                and buffer.get_image_height() == 48 and len(buffer.get_data()) == payload):
            good += 1
        stream.push_buffer(buffer)
    camera.stop_acquisition()
    print(f"{good} of 3 blocks complete")
    return 0 if good == 3 else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz corpora (corpus/<target>/seed-*). Entries found by
fuzzing sit beside them under other names. Run from anywhere; the seeds are committed."""

import io
import math
import os
import struct
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data)


# ---- stream datagrams ------------------------------------------------------------------------------
# Head: payload size, width, height (u16 LE), cloud unit, channel (u8), packet payload - 1 (u16),
# tick flag, settings bits, packet time-out in ms - 1 (u8), block time-out in ms - 1 (u16).
# Records: step (u8), length (u16 LE), datagram. A step of 0x3F captures the ready frames.

def gvsp_header(block_id, fmt, packet_id, status=0):
    return struct.pack(">HHI", status, block_id, (fmt << 24) | packet_id)


def leader(block_id, width, height, payload_type=1, pixel_format=0x023000B9, ticks=123456789):
    return gvsp_header(block_id, 1, 0) + struct.pack(
        ">HHIIIIIIIHH", 0, payload_type, ticks >> 32, ticks & 0xFFFFFFFF, pixel_format, width, height, 0, 0, 0, 0)


def payload(block_id, packet_id, data, status=0):
    return gvsp_header(block_id, 3, packet_id, status) + data


def trailer(block_id, packet_id, height=10):
    return gvsp_header(block_id, 2, packet_id) + struct.pack(">HHI", 0, 1, height)


def record(datagram, step=1):
    return struct.pack("<BH", step, len(datagram)) + datagram


CAPTURE = struct.pack("<B", 0x3F)


def stream_head(payload_size, packet_payload, width=10, height=10, settings=0x27, block_timeout_ms=100):
    return struct.pack("<HHHBBHBBBH", payload_size, width, height, 8, 1, packet_payload - 1, 1, settings, 39,
                       block_timeout_ms - 1)


def frame_packets(block_id, count, size, fill):
    return [payload(block_id, i, bytes([(fill + i + j) & 0xFF for j in range(size)])) for i in range(1, count + 1)]


def stream_seeds():
    # Two complete blocks of a 600-byte frame in 200-byte packets, captured after each.
    seq = b""
    for block in (1, 2):
        seq += record(leader(block, 10, 10))
        seq += b"".join(record(p) for p in frame_packets(block, 3, 200, block))
        seq += record(trailer(block, 4)) + CAPTURE
    write("gvsp_stream", "two-complete-blocks", stream_head(600, 200) + seq)

    # Lost, reordered, duplicated and resent packets; a block that times out.
    packets = frame_packets(7, 3, 200, 0x40)
    seq = record(leader(7, 10, 10)) + record(packets[2]) + record(packets[0]) + record(packets[0])
    seq += record(trailer(7, 4)) + record(payload(7, 2, packets[1][8:], status=0x0100), step=0x45)
    seq += record(leader(8, 10, 10)) + record(frame_packets(8, 1, 200, 1)[0]) + record(b"", step=0xBF - 1)
    seq += CAPTURE
    write("gvsp_stream", "lost-and-resent", stream_head(600, 200) + seq)

    # Lies: a leader claiming a huge image, a payload longer than its place, packet ids past the
    # block, an unknown format, an error status, a short leader, a trailer in the wrong place, and the
    # block id wrapping from 65535 to 1.
    seq = record(leader(65535, 0xFFFFFFFF, 0xFFFFFFFF, pixel_format=0xDEADBEEF))
    seq += record(payload(65535, 1, bytes(1400)))
    seq += record(payload(65535, 0x00FFFFFF, bytes(40)))
    seq += record(gvsp_header(65535, 9, 2) + bytes(16))
    seq += record(payload(65535, 2, bytes(10), status=0x8006))
    seq += record(gvsp_header(1, 1, 0) + struct.pack(">HH", 0, 1))
    seq += record(trailer(1, 2)) + record(trailer(1, 3)) + record(payload(1, 0, bytes(8)))
    seq += record(leader(1, 4, 4, payload_type=8)) + record(b"\x00\x00\x00") + CAPTURE
    write("gvsp_stream", "lying-packets", stream_head(500, 250, settings=0x3C) + seq)


# ---- device description --------------------------------------------------------------------------

DESCRIPTION = """<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="Fuzz" VendorName="Tavi" StandardNameSpace="GEV" SchemaMajorVersion="1"
  SchemaMinorVersion="1" SchemaSubMinorVersion="0" MajorVersion="1" MinorVersion="0" SubMinorVersion="0"
  ToolTip="t" ProductGuid="0" VersionGuid="0" xmlns="http://www.genicam.org/GenApi/Version_1_1">
  <Category Name="Root" NameSpace="Standard">
    <pFeature>ImageFormatControl</pFeature>
    <pFeature>AcquisitionStart</pFeature>
    <pFeature>DeviceModelName</pFeature>
  </Category>
  <Category Name="ImageFormatControl">
    <pFeature>Width</pFeature><pFeature>PixelFormat</pFeature><pFeature>ExposureTime</pFeature>
  </Category>
  <Group Comment="image">
    <Integer Name="Width">
      <pValue>WidthReg</pValue><Min>16</Min><pMax>WidthMaxReg</pMax><Inc>0x10</Inc>
    </Integer>
    <IntReg Name="WidthReg"><Address>0x30204</Address><Length>4</Length><AccessMode>RW</AccessMode>
      <pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
    <IntReg Name="WidthMaxReg"><Address>0x30208</Address><Length>4</Length><pPort>Device</pPort></IntReg>
    <Group Comment="nested">
      <Enumeration Name="PixelFormat"><EnumEntry Name="Coord3D_ABC16"><Value>0x023000B9</Value></EnumEntry>
        <EnumEntry Name="Mono8"><Value>17301505</Value></EnumEntry><pValue>PixelFormatReg</pValue></Enumeration>
      <IntReg Name="PixelFormatReg"><pAddress>PixelFormatBase</pAddress><Length>4</Length></IntReg>
      <Integer Name="PixelFormatBase"><Value>0xFFFFFFF0</Value></Integer>
    </Group>
  </Group>
  <StructReg Comment="control bits"><Address>0x30300</Address><Length>4</Length><pPort>Device</pPort>
    <StructEntry Name="TriggerEnable"><Bit>0</Bit></StructEntry>
    <StructEntry Name="TriggerSource"><LSB>1</LSB><MSB>3</MSB><Address>0x30304</Address></StructEntry>
  </StructReg>
  <Float Name="ExposureTime"><pValue>ExposureReg</pValue><Min>1.5</Min><Max>1e6</Max></Float>
  <FloatReg Name="ExposureReg"><Address>0x30400</Address><Length>4</Length></FloatReg>
  <Command Name="AcquisitionStart"><pValue>AcqReg</pValue><CommandValue>1</CommandValue></Command>
  <IntReg Name="AcqReg"><Address>0x0</Address><Length>4</Length></IntReg>
  <StringReg Name="DeviceModelName"><Address>0x48</Address><Length>32</Length></StringReg>
  <Integer Name="LoopA"><pValue>LoopB</pValue></Integer>
  <Integer Name="LoopB"><pValue>LoopA</pValue></Integer>
  <IntSwissKnife Name="Knife"><pVariable Name="W">Width</pVariable><Formula>W*2</Formula></IntSwissKnife>
  <Port Name="Device"/>
</RegisterDescription>
"""


def entry(name, compression=zipfile.ZIP_DEFLATED):
    """A zip entry with a fixed date, so that the seeds come out the same on every run."""
    info = zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0))
    info.compress_type = compression
    return info


def description_seeds():
    xml = DESCRIPTION.encode()
    write("node_map", "description.xml", b"\x00" + xml)
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(entry("Tavi_Fuzz.xml"), xml)
    write("node_map", "description.zip", b"\x01" + buffer.getvalue())
    stored = io.BytesIO()
    with zipfile.ZipFile(stored, "w", zipfile.ZIP_STORED) as archive:
        archive.writestr(entry("a.xml", zipfile.ZIP_STORED), b'<RegisterDescription><Integer Name="X"><Value>0x10</Value></Integer>'
                                  b"</RegisterDescription>")
        archive.writestr(entry("readme.txt", zipfile.ZIP_STORED), b"not the description")
    write("node_map", "stored.zip", b"\x01" + stored.getvalue())
    amplification_seeds()

    urls = {
        "local-zip": "Local:Tavi_Fuzz.zip;8000000;1f4a3",
        "schema": "Local:Model_1.0.zip;10000;200?SchemaVersion=1.1.0",
        "directory": "local:///../../etc/cam.XML;0x10;20",
        "last-word": "Local:x.xml;FFFFFFF0;10\0garbage after the end",
        "web": "http://www.example.com/cam.zip",
    }
    for name, url in urls.items():
        write("description_url", name, url.encode())


def amplification_seeds():
    """Descriptions that cost far more than their size: a StructReg whose 750 KB of properties 4,000
    entries would each copy (plain, under 1 MiB), the same zipped (13 KB), and an enumeration whose
    50 KB name 1,000 entries would each repeat."""
    head = b'<RegisterDescription><Category Name="Root"><pFeature>Base</pFeature></Category>' \
           b'<Integer Name="Base"><Value>1</Value></Integer>'
    wide = head + b'<StructReg Comment="Wide"><Address>0x2000</Address><Length>4</Length><ToolTip>' + \
        b"w" * (750 * 1024) + b"</ToolTip>" + \
        b"".join(b'<StructEntry Name="B%d"><Bit>0</Bit></StructEntry>' % n for n in range(4000)) + \
        b"</StructReg></RegisterDescription>"
    write("node_map", "shared-properties.xml", b"\x00" + wide)
    zipped = io.BytesIO()
    with zipfile.ZipFile(zipped, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(entry("wide.xml"), wide)
    write("node_map", "shared-properties.zip", b"\x01" + zipped.getvalue())
    names = head + b'<Enumeration Name="' + b"e" * (50 * 1024) + b'">' + \
        b"".join(b'<EnumEntry Name="V%d"><Value>%d</Value></EnumEntry>' % (n, n) for n in range(1000)) + \
        b"<pValue>Base</pValue></Enumeration></RegisterDescription>"
    write("node_map", "multiplied-names.xml", b"\x00" + names)


# ---- protocol fields -----------------------------------------------------------------------------

def protocol_seeds():
    ack = bytearray(256)
    struct.pack_into(">HHHH", ack, 0, 0, 3, 248, 1)
    struct.pack_into(">HI", ack, 18, 0x0011, 0x22334455)
    struct.pack_into(">I", ack, 44, 0xA9FE0102)
    struct.pack_into(">I", ack, 60, 0xFFFF0000)
    ack[80:84] = b"Tavi"
    write("protocol_fields", "discovery-ack", bytes(ack))
    write("protocol_fields", "gvsp-leader", leader(3, 640, 480))


# ---- point clouds --------------------------------------------------------------------------------
# Head: flags (1 other pixel format, 2 huge claim, 4 wide cloud unit, 8 short payload size, 16 PLY
# rather than point text), k x 16, minimum population (i8), claimed payload size (u16), width, height (u16),
# cloud unit (u8), then raw points (X, Y signed, Z unsigned, 16-bit little-endian).

def cloud(width, height, unit, holes=()):
    raw = b""
    for row in range(height):
        for column in range(width):
            if (row, column) in holes:
                raw += bytes(6)
                continue
            x = int((column - width / 2) * 3 * unit)
            y = int((row - height / 2) * 3 * unit)
            z = int((800 + 20 * math.sin(row + column)) * unit)
            raw += struct.pack("<hhH", x, y, z)
    return raw


def cloud_head(flags, k, population, width, height, unit, claimed=0):
    return struct.pack("<BBbHHHB", flags, int(k * 16), population, claimed, width, height, unit)


def cloud_seeds():
    points = cloud(8, 7, 8, holes={(3, 3), (0, 7)})
    write("point_cloud", "organised", cloud_head(0, 3.0, 2, 8, 7, 8) + points)
    write("point_cloud", "header-claims-more", cloud_head(16, 1.0, 1, 20, 20, 8) + points)
    write("point_cloud", "payload-claims-less", cloud_head(24, 2.0, 3, 8, 7, 8, claimed=100) + points)
    huge = struct.pack("<BBbHIIB", 2, 48, 2, 0, 0xFFFFFFFF, 0xFFFFFFFF, 8)
    write("point_cloud", "huge-claim", huge + points)
    write("point_cloud", "unit-zero", cloud_head(0, 3.0, 1, 8, 7, 0) + points)


if __name__ == "__main__":
    stream_seeds()
    description_seeds()
    protocol_seeds()
    cloud_seeds()

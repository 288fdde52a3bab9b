"""Annex B H.264 streams for the test servers: NAL units without their start codes."""


def read_nal_units(path):
    """The NAL units of an Annex B file in order. A four-byte start code leaves one zero byte at the
    end of the unit before it, which is taken off."""
    data = open(path, "rb").read()
    starts = []
    i = 0
    while True:
        j = data.find(b"\x00\x00\x01", i)
        if j < 0:
            break
        starts.append(j + 3)
        i = j + 3
    nals = []
    for k, s in enumerate(starts):
        e = starts[k + 1] - 3 if k + 1 < len(starts) else len(data)
        nal = data[s:e]
        while nal.endswith(b"\x00") and k + 1 < len(starts):
            nal = nal[:-1]
        if nal:
            nals.append(nal)
    return nals

"""What every benchmark measures the same way."""


def peak_resident_mb() -> float:
    """This process's peak resident memory. VmHWM belongs to this process's own
    address space; ru_maxrss would also count the parent's memory at the fork
    before exec."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmHWM in /proc/self/status")

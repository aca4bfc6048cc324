"""What host a benchmark ran on. Hosts of one machine kind differ: from one
such host to another the same build's figures moved by 1.3x (libx264) to 2x
(the vision networks), so figures from different hosts do not compare."""
import os


def processor():
    """The processor's model, core count and widest vector extension."""
    model, flags = "unknown", set()
    with open("/proc/cpuinfo") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key.strip() == "model name":
                model = value.strip()
            elif key.strip() == "flags":
                flags = set(value.split())
                break
    widest = next((x for x in ("avx512f", "avx2", "avx", "sse4_2") if x in flags), "none")
    return f"{model}, {os.cpu_count()} cores, {widest}"

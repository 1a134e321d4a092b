"""A memory cgroup of a given limit for child processes, made under this
process's own memory group (cgroup v1 or v2) and removed again.  Used by the
memory-limit test and benchmark; needs root and a writable controller."""
import contextlib
import errno
import os
import time


class NoMemoryGroup(Exception):
    """Why no memory group can be made here."""


def own_memory_group():
    """(version, directory) of the memory group this process belongs to, as
    mounted here: "v1" for a memory hierarchy of its own, else "v2".  None when
    neither is mounted."""
    mounts = {}
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields, _, rest = line.partition(" - ")
            root, point = fields.split()[3:5]
            fstype, _source, options = rest.split()[:3]
            if fstype == "cgroup" and "memory" in options.split(","):
                mounts["v1"] = (root, point)
            elif fstype == "cgroup2":
                mounts.setdefault("v2", (root, point))
    with open("/proc/self/cgroup") as f:
        groups = [line.rstrip("\n").split(":", 2) for line in f]
    in_memory_hierarchy = {"v1": lambda hid, controllers: "memory" in controllers.split(","),
                           "v2": lambda hid, controllers: hid == "0"}
    for version, wanted in in_memory_hierarchy.items():
        for hid, controllers, path in groups:
            if version in mounts and wanted(hid, controllers):
                root, point = mounts[version]
                relative = os.path.relpath(path, root)
                if relative.startswith(".."):  # the group lies outside what is mounted here
                    continue
                return version, os.path.normpath(os.path.join(point, relative))
    return None


def write(path, value):
    with open(path, "w") as f:
        f.write(str(value))


def remove_group(path):
    # The child has been reaped; the kernel may take a moment to let go of the group.
    for _ in range(50):
        try:
            os.rmdir(path)
            return
        except FileNotFoundError:
            return
        except OSError as e:
            if e.errno != errno.EBUSY:
                raise
            time.sleep(0.1)
    os.rmdir(path)


@contextlib.contextmanager
def memory_group(limit_bytes, name):
    """The cgroup.procs file of a new memory group `name` limited to
    `limit_bytes` (without swap); a child joins it by writing its pid there.
    Raises NoMemoryGroup where none can be made."""
    if os.geteuid() != 0:
        raise NoMemoryGroup("a memory cgroup can only be made as root")
    found = own_memory_group()
    if found is None:
        raise NoMemoryGroup("no cgroup memory controller is mounted")
    version, parent = found
    path = os.path.join(parent, name)
    try:
        os.mkdir(path)
    except OSError as e:
        raise NoMemoryGroup(f"cannot make a memory cgroup under {parent}: {e}")
    try:
        if version == "v1":
            write(os.path.join(path, "memory.limit_in_bytes"), limit_bytes)
            memsw = os.path.join(path, "memory.memsw.limit_in_bytes")
            if os.path.exists(memsw):
                write(memsw, limit_bytes)
        elif os.path.exists(os.path.join(path, "memory.max")):
            write(os.path.join(path, "memory.max"), limit_bytes)
            if os.path.exists(os.path.join(path, "memory.swap.max")):
                write(os.path.join(path, "memory.swap.max"), 0)
        else:
            raise NoMemoryGroup(f"the memory controller is not enabled for groups under {parent} "
                                "(cgroup.subtree_control)")
        yield os.path.join(path, "cgroup.procs")
    finally:
        remove_group(path)

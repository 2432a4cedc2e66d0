"""A build backend for the pure-Python package kestrune_rife, standard library only.

Writes a py3-none-any wheel of kestrune_rife/. The version is the project's, read from
the project() line of the CMakeLists.txt one folder up.
"""
import base64
import hashlib
import os
import re
import zipfile

NAME = "kestrune_rife"
HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUMMARY = "Video frame interpolation through the kestrune-rife-inference library"


def project_version():
    with open(os.path.join(HERE, "..", "CMakeLists.txt"), encoding="utf-8") as cmake:
        match = re.search(r"project\([^)]*?VERSION\s+([0-9.]+)", cmake.read())
    if not match:
        raise RuntimeError("no project(... VERSION ...) in ../CMakeLists.txt")
    return match.group(1)


def package_files():
    root = os.path.join(HERE, NAME)
    for name in sorted(os.listdir(root)):
        # _installed.py belongs to `cmake --install` only.
        if name.endswith(".py") and name != "_installed.py":
            yield f"{NAME}/{name}", os.path.join(root, name)


def dist_info(version):
    metadata = (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {version}\n"
                f"Summary: {SUMMARY}\nRequires-Python: >=3.7\nRequires-Dist: numpy\n")
    wheel = "Wheel-Version: 1.0\nGenerator: wheel_backend\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
    return {"METADATA": metadata, "WHEEL": wheel}


def record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{arcname},sha256={digest},{len(data)}"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    version = project_version()
    info_dir = f"{NAME}-{version}.dist-info"
    wheel_name = f"{NAME}-{version}-py3-none-any.whl"
    entries = [(arcname, open(path, "rb").read()) for arcname, path in package_files()]
    entries += [(f"{info_dir}/{name}", text.encode()) for name, text in dist_info(version).items()]
    record = [record_line(arcname, data) for arcname, data in entries] + [f"{info_dir}/RECORD,,"]
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as whl:
        for arcname, data in entries:
            whl.writestr(arcname, data)
        whl.writestr(f"{info_dir}/RECORD", "\n".join(record) + "\n")
    return wheel_name

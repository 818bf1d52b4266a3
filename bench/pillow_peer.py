#!/usr/bin/python3
"""The peer `make bench` compares vantor with: the same work for one target, done with Pillow.

    pillow_peer.py <input folder> <output folder>

Every PNG or JPEG under the input folder (sub-folders too) is copied into the output folder,
decoded in full, resized to the largest size with its proportions that fits in 256x256,
centred on a black 256x256 canvas (vantor's bg_color 255 is opaque black) and saved there as a
JPEG of quality 80; then the source is deleted. Two worker processes share the files in
chunks, as vantor -thread=2 shares them between two workers. Nothing is printed per file; the last line counts what was done, and
the exit status is 1 when a file failed.

No decoder shortcut is taken (no draft(), no thumbnail()): vantor decodes every pixel and
resamples with a cubic filter, so the peer does as well.
"""
import os
import shutil
import sys
from multiprocessing import Pool

from PIL import Image

BOX = 256
QUALITY = 80
BACKGROUND = (0, 0, 0)
CHUNK = 32
RESAMPLE = getattr(Image, "Resampling", Image).BICUBIC

out_folder = ""


def convert(path):
    """True when the source was converted and deleted."""
    try:
        name = os.path.basename(path)
        shutil.copyfile(path, os.path.join(out_folder, name))
        with Image.open(path) as source:
            picture = source.convert("RGB")
        scale = min(BOX / picture.width, BOX / picture.height)
        size = (max(1, round(picture.width * scale)), max(1, round(picture.height * scale)))
        picture = picture.resize(size, RESAMPLE)
        canvas = Image.new("RGB", (BOX, BOX), BACKGROUND)
        canvas.paste(picture, ((BOX - size[0]) // 2, (BOX - size[1]) // 2))
        stem = os.path.splitext(name)[0]
        canvas.save(os.path.join(out_folder, f"{stem}_{BOX}x{BOX}.jpg"), "JPEG", quality=QUALITY)
        os.remove(path)
        return True
    except Exception as error:  # one bad file must not stop the others
        print(f"pillow: {path}: {error}", file=sys.stderr)
        return False


def start_worker(folder):
    global out_folder
    out_folder = folder


def main():
    if len(sys.argv) != 3:
        print("usage: pillow_peer.py <input folder> <output folder>", file=sys.stderr)
        return 2
    in_folder, folder = sys.argv[1], sys.argv[2]
    os.makedirs(folder, exist_ok=True)
    sources = []
    for parent, _, names in os.walk(in_folder):
        for name in names:
            if name.lower().endswith((".png", ".jpg", ".jpeg")):
                sources.append(os.path.join(parent, name))
    sources.sort()

    pool = Pool(2, initializer=start_worker, initargs=(folder,))
    done = sum(pool.imap_unordered(convert, sources, chunksize=CHUNK))
    # close and join, so the workers' CPU time is counted in this process's by whoever waits on it
    pool.close()
    pool.join()
    print(f"pillow: {done} of {len(sources)} files converted")
    return 0 if done == len(sources) else 1


if __name__ == "__main__":
    sys.exit(main())

// What the browser tests share, whichever way they drive the browser
// (browser.test.mjs through puppeteer, webkit.test.mjs through WebDriver):
// the images a player can pick, the page's texts for them, the damaged host,
// the wait and the SHA-256 of a saved file.
import assert from 'node:assert/strict';
import {spawnSync} from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';

import {serve} from '../serve.mjs';

export const IMAGE_BYTES = 1455587328;
export const NOT_FOUND = 'Incapaz de hallar el ISO Jap de Veltrane para PS2.\n\n' +
                         'El tamaño del archivo debe ser de 1 455 587 328 bytes.\n\n' +
                         'El CRC32 del archivo debe ser 0xDED23029.';
export const DECOY_FAILED = 'ISO Jap detectado: decoy.iso\n\nParche en progreso:\n\n\n' +
                            'El parcheo ha fallado por un mal CRC32. La entrada del archivo ISO ' +
                            '"decoy.iso" no es correcto.';
export const PATCHED_NAME = 'Veltrane_patched.iso';
export const PATCHED_START = 'ISO Jap detectado: Veltrane.iso\n\nParche en progreso:';
export const PATCHED_END = '¡El parche al español ha sido aplicado correctamente!\n' +
                           `El archivo ISO parcheado al español es "${PATCHED_NAME}".`;
// Long enough for the full-size image on a loaded 2-core machine.
export const PATCH_TIMEOUT = 600000;

// One browser's folders under WEB_SCRATCH; the full-size image is shared by
// every browser, the rest is its own.
export function scratchFor(browserName) {
    const root = process.env.WEB_SCRATCH;
    assert.ok(root, 'WEB_SCRATCH names a folder for images and downloads');
    const scratch = path.join(root, browserName);
    return {
        scratch,
        downloads: path.join(scratch, 'downloads'),
        images: {
            full: path.join(root, 'Veltrane.iso'),
            decoy: path.join(scratch, 'decoy.iso'),
            other: path.join(scratch, 'notas.iso'),
        },
    };
}

function writeAt(descriptor, position, text) {
    fs.writeSync(descriptor, Buffer.from(text, 'latin1'), 0, text.length, position);
}

// A fresh scratch folder with its downloads folder, the full-size image
// (made once by make-demo-kit), the decoy and a file that is not an image.
export function makeImages({scratch, downloads, images}, makeKit) {
    fs.rmSync(scratch, {recursive: true, force: true});
    fs.mkdirSync(downloads, {recursive: true});
    if (!fs.existsSync(images.full) || fs.statSync(images.full).size !== IMAGE_BYTES) {
        const made = spawnSync(makeKit, [ '--image', images.full ], {stdio: 'inherit'});
        assert.equal(made.status, 0, 'make-demo-kit --image');
    }
    // Sparse, the right size and both signatures: identified, and then the
    // first window's checksum tells it is not the image.
    const decoy = fs.openSync(images.decoy, 'w');
    fs.ftruncateSync(decoy, IMAGE_BYTES);
    writeAt(decoy, 593928, 'cdrom0:\\SXKQ_805.17;1');
    writeAt(decoy, 2398042, '.unknvma');
    fs.closeSync(decoy);
    fs.writeFileSync(images.other, 'Apuntes de la partida, no una imagen.\n'.repeat(1000));
}

// A host or a connection that delivers one soundtrack changed.
export function serveDamaged(site) {
    return serve(site, {
        damage: (name, bytes) => {
            if (name !== 'Ru_op.bin') {
                return bytes;
            }
            const copy = Buffer.from(bytes);
            copy[1000] ^= 0x01;
            return copy;
        },
    });
}

export async function waitFor(check, timeout, what) {
    const end = Date.now() + timeout;
    for (;;) {
        const value = await check();
        if (value) {
            return value;
        }
        if (Date.now() > end) {
            assert.fail(`timed out waiting for ${what}`);
        }
        await new Promise((resolve) => setTimeout(resolve, 200));
    }
}

// The saved file in downloads once the browser has finished it (no partial
// file of Chromium's, Firefox's or the WebKit shell's beside it).
export async function waitForDownload(downloads, timeout) {
    const saved = path.join(downloads, PATCHED_NAME);
    await waitFor(() => {
        const names = fs.readdirSync(downloads);
        return names.includes(PATCHED_NAME) &&
               !names.some((name) => /\.(crdownload|part)$/.test(name)) &&
               fs.statSync(saved).size > 0;
    }, timeout, 'the download');
    return saved;
}

export async function sha256(file) {
    const hash = crypto.createHash('sha256');
    for await (const piece of fs.createReadStream(file, {highWaterMark: 1 << 22})) {
        hash.update(piece);
    }
    return hash.digest('hex');
}

// The SHA-256 of the patched image, as the demo kit computed it.
export function expectedSha256(kit) {
    return fs.readFileSync(path.join(kit, 'expected.sha256'), 'utf8').trim().split(/\s+/)[0];
}

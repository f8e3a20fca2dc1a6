// The page in a real browser (Debian's headless Chromium or Firefox ESR),
// driven through its own file input: every outcome the player can meet, and
// the full-size demo image patched and saved to the kit's SHA-256.
//
// WEB_BROWSER (chromium | firefox), WEB_SITE (the built page's folder),
// WEB_KIT (the demo kit), WEB_MAKE_KIT (make-demo-kit, for the image) and
// WEB_SCRATCH (a folder for images and downloads) say what to test.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import {after, before, describe, test} from 'node:test';
import puppeteer from 'puppeteer-core';

import {serve} from '../serve.mjs';
import {
    DECOY_FAILED,
    expectedSha256,
    makeImages as makeImagesIn,
    NOT_FOUND,
    PATCH_TIMEOUT,
    PATCHED_END,
    PATCHED_START,
    scratchFor,
    serveDamaged,
    sha256,
    waitFor,
    waitForDownload,
} from './images.mjs';

const browserName = process.env.WEB_BROWSER || 'chromium';
const site = process.env.WEB_SITE;
const kit = process.env.WEB_KIT;
const makeKit = process.env.WEB_MAKE_KIT;
const chromium = browserName === 'chromium';

const paths = scratchFor(browserName);
const {scratch, images, downloads} = paths;
const makeImages = () => makeImagesIn(paths, makeKit);

async function launch() {
    if (chromium) {
        return puppeteer.launch({
            executablePath: '/usr/bin/chromium',
            headless: true,
            args: [ '--no-sandbox', '--disable-dev-shm-usage' ],
        });
    }
    return puppeteer.launch({
        browser: 'firefox',
        executablePath: '/usr/bin/firefox-esr',
        headless: true,
        extraPrefsFirefox: {
            'browser.download.dir' : downloads,
            'browser.download.folderList' : 2,
            'browser.download.useDownloadDir' : true,
            'browser.download.always_ask_before_handling_new_types' : false,
            'browser.download.start_downloads_in_tmp_dir' : false,
            'browser.helperApps.neverAsk.saveToDisk' :
                'application/octet-stream,application/x-iso9660-image',
        },
    });
}

const text = (page, id) => page.$eval(`#${id}`, (node) => node.textContent);
const visible = (page, id) => page.$eval(`#${id}`, (node) => !node.hidden);
const storedNames = (page) => page.evaluate(async () => {
    const names = [];
    for await (const name of (await navigator.storage.getDirectory()).keys()) {
        names.push(name);
    }
    return names;
});

async function noStoredFile(page) {
    await waitFor(async () => (await storedNames(page)).length === 0, 10000, 'an empty storage');
}

describe(`the page in ${browserName}`, () => {
    let browser;
    let server;
    let damaged;
    let noSyncHandles;

    before(async () => {
        makeImages();
        server = await serve(site);
        // A host or a connection that delivers one soundtrack changed.
        damaged = await serveDamaged(site);
        // Safari's storage: the sync access handles are refused, so the
        // output goes through a writable stream and the image is read in place.
        noSyncHandles = await serve(site, {
            damage: (name, bytes) => name !== 'worker.js' ? bytes : Buffer.concat([
                Buffer.from('delete FileSystemFileHandle.prototype.createSyncAccessHandle;\n'),
                bytes,
            ]),
        });
        browser = await launch();
    });

    after(async () => {
        await browser?.close();
        await server?.close();
        await damaged?.close();
        await noSyncHandles?.close();
        fs.rmSync(scratch, {recursive: true, force: true});
    });

    // A fresh page of url; without the save picker, as headless browsers
    // refuse it: the save goes through the download.
    async function open(url = server.url) {
        const page = await browser.newPage();
        await page.evaluateOnNewDocument(() => { delete window.showSaveFilePicker; });
        await page.goto(url);
        await page.waitForFunction(() => document.querySelector('#image') !== null);
        return page;
    }

    async function pick(page, file) {
        const input = await page.$('#image');
        await input.uploadFile(file);
    }

    async function waitIdle(page, timeout = 60000) {
        await page.waitForFunction(() => !document.querySelector('#image').disabled, {timeout});
    }

    test('a browser without the private storage is told what works', async () => {
        const page = await browser.newPage();
        await page.evaluateOnNewDocument(() => { delete StorageManager.prototype.getDirectory; });
        await page.goto(server.url);
        assert.match(await text(page, 'notice'),
                     /Funciona en las versiones actuales de Chrome, Edge, Firefox y Safari/);
        assert.equal(await page.$eval('#image', (node) => node.disabled), true);
        await page.close();
    });

    test('a file that is not the image gets the three not-found lines', async () => {
        const page = await open();
        await pick(page, images.other);
        await waitIdle(page);
        assert.equal(await text(page, 'messages'), NOT_FOUND);
        assert.deepEqual(await storedNames(page), []);
        await page.close();
    });

    test('a decoy with both signatures is identified, then fails on its CRC32', async () => {
        const page = await open();
        await pick(page, images.decoy);
        await waitIdle(page);
        assert.equal(await text(page, 'messages'), DECOY_FAILED);
        assert.equal(await visible(page, 'save'), false);
        await noStoredFile(page);
        await page.close();
    });

    test('a damaged resource says so and does not blame the image', async () => {
        const page = await open(damaged.url);
        await pick(page, images.decoy);
        await waitIdle(page);
        const notice = await text(page, 'notice');
        assert.match(notice, /«Ru_op\.bin».*no ha llegado entero/);
        assert.match(notice, /Tu imagen no tiene la culpa/);
        assert.doesNotMatch(await text(page, 'messages'), /CRC32|falló/);
        await noStoredFile(page);
        await page.close();
    });

    test('too little storage is told before anything is written', {skip: !chromium}, async () => {
        const page = await open();
        const session = await page.createCDPSession();
        await session.send('Storage.overrideQuotaForOrigin', {
            origin: new URL(server.url).origin,
            quotaSize: 100e6,
        });
        await pick(page, images.full);
        await waitIdle(page);
        const notice = await text(page, 'notice');
        assert.match(notice, /No hay espacio suficiente: el parche necesita 3,01 GB libres/);
        await noStoredFile(page);
        await session.send('Storage.overrideQuotaForOrigin', {origin: new URL(server.url).origin});
        await page.close();
    });

    async function startFullPatch(page) {
        await pick(page, images.full);
        await page.waitForFunction(() => document.querySelector('#bar').value >= 3, {
            timeout: 120000,
        });
    }

    test('cancel mid-patch leaves no stored file', async () => {
        const page = await open();
        await startFullPatch(page);
        await page.keyboard.press('Escape');
        await waitIdle(page);
        assert.match(await text(page, 'notice'), /Parche cancelado/);
        await noStoredFile(page);
        await page.close();
    });

    test('a reload mid-patch leaves no stored file', async () => {
        const page = await open();
        await startFullPatch(page);
        await page.reload();
        await noStoredFile(page);
        await page.close();
    });

    // Patches the full-size image in a page of url, saves it through the
    // download and checks its SHA-256; the seconds the patch took.
    async function patchAndSave(url) {
        const page = await open(url);
        if (chromium) {
            const session = await browser.target().createCDPSession();
            await session.send('Browser.setDownloadBehavior', {
                behavior: 'allow',
                downloadPath: downloads,
            });
        }
        const started = Date.now();
        await pick(page, images.full);
        await page.waitForFunction(() => !document.querySelector('#save').hidden, {
            timeout: PATCH_TIMEOUT,
        });
        const seconds = (Date.now() - started) / 1000;
        const messages = await text(page, 'messages');
        assert.ok(messages.startsWith(PATCHED_START));
        assert.ok(messages.endsWith(PATCHED_END), messages);

        await page.click('#save');
        const saved = await waitForDownload(downloads, PATCH_TIMEOUT);
        assert.equal(await sha256(saved), expectedSha256(kit));
        fs.rmSync(saved);

        await page.click('#free');
        await noStoredFile(page);
        await page.close();
        return seconds;
    }

    test('the full-size image is patched and saved with the expected SHA-256', async () => {
        const seconds = await patchAndSave(server.url);
        console.log(`${browserName}: full-size patch in ${seconds.toFixed(1)} s`);
    });

    test('without sync access handles the image is read in place and written through a stream',
         {skip: !chromium}, async () => {
             const seconds = await patchAndSave(noSyncHandles.url);
             console.log(`${browserName}: full-size patch without sync access handles in ` +
                         `${seconds.toFixed(1)} s`);
         });
});

// The offline copy (service-worker.js), in a browser of its own on a copy of
// the folder that a test can change as a new build would.
describe(`the page offline in ${browserName}`, () => {
    const folder = path.join(`${scratch}-offline`, 'site');
    let browser;
    let server;
    let port;

    before(async () => {
        if (!fs.existsSync(images.full)) {
            makeImages();
        }
        fs.rmSync(path.dirname(folder), {recursive: true, force: true});
        fs.cpSync(site, folder, {recursive: true});
        server = await serve(folder);
        port = Number(new URL(server.url).port);
        browser = await launch();
    });

    after(async () => {
        await browser?.close();
        await server?.close();
        fs.rmSync(path.dirname(folder), {recursive: true, force: true});
    });

    // A visit online, once the page's offline copy is complete.
    async function visit() {
        const page = await browser.newPage();
        await page.evaluateOnNewDocument(() => { delete window.showSaveFilePicker; });
        await page.goto(server.url);
        await page.waitForFunction(async () => {
            const registration = await navigator.serviceWorker.getRegistration();
            return navigator.serviceWorker.controller && registration && !registration.installing &&
                   !registration.waiting;
        }, {timeout: 60000, polling: 200});
        return page;
    }

    async function hostGone() {
        await server.close();
        server = null;
    }

    test('after one visit, a reload with the host gone patches the full-size image', async () => {
        const page = await visit();
        await hostGone();
        await page.reload();
        await page.waitForFunction(() => document.querySelector('#image') !== null);
        await page.$('#image').then((input) => input.uploadFile(images.full));
        await page.waitForFunction(() => !document.querySelector('#save').hidden, {
            timeout: PATCH_TIMEOUT,
        });
        assert.match(await text(page, 'messages'),
                     /¡El parche al español ha sido aplicado correctamente!/);
        // The stored image goes with this browser's profile.
        await page.close();
    });

    test('a new build replaces the offline copy on the next visit online', async () => {
        server = await serve(folder, {port});
        const page = await visit();
        publishNewBuild(folder);
        await page.reload();
        assert.match(await page.$eval('h1', (node) => node.textContent), /v1\.1/);
        await page.evaluate(async () => {
            const registration = await navigator.serviceWorker.getRegistration();
            await registration.update();
        });
        await page.waitForFunction(async () => {
            const registration = await navigator.serviceWorker.getRegistration();
            return !registration.installing && !registration.waiting;
        }, {timeout: 60000, polling: 200});
        await hostGone();
        await page.reload();
        assert.match(await page.$eval('h1', (node) => node.textContent), /v1\.1/);
        // The old copy is gone, not kept beside the new one.
        assert.equal(await page.evaluate(async () => (await caches.keys()).length), 1);
        await page.close();
    });
});

// What a new build of the page changes: a file, and the service worker's
// list of the files' SHA-256 and its version.
function publishNewBuild(folder) {
    const index = path.join(folder, 'index.html');
    const html = fs.readFileSync(index, 'utf8').replace('(v1.0)', '(v1.1)');
    fs.writeFileSync(index, html);
    const hash = crypto.createHash('sha256').update(html).digest('hex');
    const worker = path.join(folder, 'service-worker.js');
    fs.writeFileSync(worker, fs.readFileSync(worker, 'utf8')
                                 .replace(/(name: "index\.html", sha256: ")[0-9a-f]+/, `$1${hash}`)
                                 .replace(/version: "[0-9a-f]+"/, 'version: "new build"'));
}

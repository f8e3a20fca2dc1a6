// The page in WebKit (the engine of Safari and of every iOS browser):
// Debian's WebKitGTK, driven through WebKitWebDriver with selenium-webdriver,
// in web/test/webkit-shell.py, a one-window browser with a persistent profile
// (an ephemeral one, MiniBrowser's under automation, has no private storage).
// The player's cases through the page's own file input: a file that is not
// the image, a decoy, a damaged resource, and the full-size demo image
// patched and saved to the kit's SHA-256.
//
// Run under an X display (xvfb-run -a), with WEB_SITE, WEB_KIT, WEB_MAKE_KIT
// and WEB_SCRATCH as for browser.test.mjs.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {after, before, describe, test} from 'node:test';
import {fileURLToPath} from 'node:url';
import {By, Capabilities, WebDriver} from 'selenium-webdriver';
import http from 'selenium-webdriver/http/index.js';
import portprober from 'selenium-webdriver/net/portprober.js';
import remote from 'selenium-webdriver/remote/index.js';

import {serve} from '../serve.mjs';
import {
    DECOY_FAILED,
    expectedSha256,
    makeImages,
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

const site = process.env.WEB_SITE;
const kit = process.env.WEB_KIT;
const makeKit = process.env.WEB_MAKE_KIT;
const DRIVER = process.env.WEB_WEBKIT_DRIVER || '/usr/bin/WebKitWebDriver';
const SHELL = fileURLToPath(new URL('webkit-shell.py', import.meta.url));

const paths = scratchFor('webkit');
const {scratch, images, downloads} = paths;
const profile = path.join(scratch, 'profile');
// A patch whose bar and figures stay still this long has stopped.
const STALL_TIMEOUT = 120000;

// WebKitWebDriver on a free loopback port, and a session in the shell.
async function launch() {
    assert.ok(process.env.DISPLAY, 'WebKit needs an X display: run under xvfb-run -a');
    const port = await portprober.findFreePort();
    const service = new remote.DriverService.Builder(DRIVER)
                        .setPort(port)
                        .setLoopback(true)
                        .addArguments(`--port=${port}`)
                        .setStdio([ 'ignore', 'inherit', 'inherit' ])
                        .build();
    const url = await service.start(30000);
    // The driver passes these arguments alone to the binary: --automation as
    // it would give MiniBrowser, the profile and the download folder.
    const capabilities = new Capabilities({
        'webkitgtk:browserOptions' : {
            binary: SHELL,
            args: [ '--automation', `--profile=${profile}`, `--downloads=${downloads}` ],
        },
    });
    try {
        const driver = await WebDriver.createSession(new http.Executor(new http.HttpClient(url)),
                                                     capabilities);
        await driver.manage().setTimeouts({script: 30000, pageLoad: 60000});
        return {driver, service};
    } catch (error) {
        await service.kill();
        throw error;
    }
}

describe('the page in webkit', () => {
    let driver;
    let service;
    let server;
    let damaged;

    before(async () => {
        makeImages(paths, makeKit);
        server = await serve(site);
        damaged = await serveDamaged(site);
        ({driver, service} = await launch());
    });

    after(async () => {
        await driver?.quit().catch(() => {});
        await service?.kill();
        await server?.close();
        await damaged?.close();
        // The shell's network process may still be closing its files.
        fs.rmSync(scratch, {recursive: true, force: true, maxRetries: 20, retryDelay: 250});
    });

    const text = (id) =>
        driver.executeScript('return document.getElementById(arguments[0]).textContent', id);
    const visible = (id) =>
        driver.executeScript('return !document.getElementById(arguments[0]).hidden', id);
    const storedNames = () => driver.executeAsyncScript(`
        const done = arguments[arguments.length - 1];
        (async () => {
            const names = [];
            for await (const name of (await navigator.storage.getDirectory()).keys()) {
                names.push(name);
            }
            return names;
        })().then(done, (error) => done('error: ' + error));`);

    async function noStoredFile() {
        await waitFor(async () => {
            const names = await storedNames();
            assert.ok(Array.isArray(names), `the private storage: ${names}`);
            return names.length === 0;
        }, 10000, 'an empty storage');
    }

    // The page afresh in the one window, once its script has set it up.
    async function open(url = server.url) {
        await driver.get(url);
        await waitFor(() => driver.executeScript(
                          'return document.querySelector("#image") !== null && !!window.Worker'),
                      10000, 'the page');
    }

    async function pick(file) {
        await driver.findElement(By.id('image')).sendKeys(file);
    }

    // What the player sees: the input usable again, and something said.
    async function waitIdle(timeout = 60000) {
        await waitFor(() => driver.executeScript(`
            return !document.querySelector('#image').disabled &&
                   (document.querySelector('#messages').textContent !== '' ||
                    document.querySelector('#notice').textContent !== '');`),
                      timeout, 'the page to finish');
    }

    test('a file that is not the image gets the three not-found lines', async () => {
        await open();
        await pick(images.other);
        await waitIdle();
        assert.equal(await text('messages'), NOT_FOUND);
        assert.deepEqual(await storedNames(), []);
    });

    test('a decoy with both signatures is identified, then fails on its CRC32', async () => {
        await open();
        await pick(images.decoy);
        await waitIdle();
        assert.equal(await text('messages'), DECOY_FAILED,
                     `the messages (notice: ${JSON.stringify(await text('notice'))})`);
        assert.equal(await visible('save'), false);
        await noStoredFile();
    });

    test('a damaged resource says so and does not blame the image', async () => {
        await open(damaged.url);
        await pick(images.decoy);
        await waitIdle();
        const notice = await text('notice');
        assert.match(notice, /«Ru_op\.bin».*no ha llegado entero/);
        assert.match(notice, /Tu imagen no tiene la culpa/);
        assert.doesNotMatch(await text('messages'), /CRC32|falló/);
        await noStoredFile();
    });

    test('the full-size image is patched and saved with the expected SHA-256', async () => {
        await open();
        const started = Date.now();
        await pick(images.full);
        // Until "Guardar" shows, the page gives up, or its progress stops.
        let last = '';
        let moved = Date.now();
        const state = await waitFor(async () => {
            const now = await driver.executeScript(`
                const node = (id) => document.getElementById(id);
                return {
                    saved: !node('save').hidden,
                    busy: node('image').disabled,
                    progress: node('bar').value + ' ' + node('figures').textContent,
                    messages: node('messages').textContent,
                    notice: node('notice').textContent,
                };`);
            const seen = `${now.progress}\n${now.messages}\n${now.notice}`;
            if (seen !== last) {
                last = seen;
                moved = Date.now();
            }
            const stalled = Date.now() - moved > STALL_TIMEOUT;
            return (now.saved || (!now.busy && now.messages !== '') || stalled) &&
                   {...now, stalled};
        }, PATCH_TIMEOUT, 'the patch');
        const seconds = (Date.now() - started) / 1000;
        const said = `messages: ${JSON.stringify(state.messages)}\n` +
                     `notice: ${JSON.stringify(state.notice)}\nprogress: ${state.progress}`;
        assert.ok(!state.stalled,
                  `the patch stopped moving for ${STALL_TIMEOUT / 1000} s\n${said}`);
        assert.ok(state.saved, `the page did not offer "Guardar"\n${said}`);
        assert.ok(state.messages.startsWith(PATCHED_START), said);
        assert.ok(state.messages.endsWith(PATCHED_END), said);

        await driver.findElement(By.id('save')).click();
        const saved = await waitForDownload(downloads, PATCH_TIMEOUT);
        assert.equal(await sha256(saved), expectedSha256(kit));
        fs.rmSync(saved);

        await driver.findElement(By.id('free')).click();
        await noStoredFile();
        console.log(`webkit: full-size patch in ${seconds.toFixed(1)} s`);
    });
});

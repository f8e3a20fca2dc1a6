'use strict';
const SLICE_BYTES = 32 << 20;
onmessage = (event) => {
    const file = event.data;
    const reader = new FileReaderSync();
    const start = performance.now();
    let total = 0;
    for (let position = 0; position < file.size; position += SLICE_BYTES) {
        total += reader.readAsArrayBuffer(file.slice(position, position + SLICE_BYTES)).byteLength;
    }
    postMessage({bytes: total, seconds: (performance.now() - start) / 1000});
};

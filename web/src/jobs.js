// Jobs for the page's workers (each runs worker.js): one converts the queue
// one container at a time (the containers share its heap), with a partner
// that translates the second half of each long song beside it; zips get one
// of their own. A job ends with `done` or `failed`; ending a worker (Cancel,
// Clear) ends its job unheard.
import { ConversionError } from "./core.js";
import { makeUrl, dropUrl } from "./urls.js";

// The worker runs from the page's own text: the core's script and the
// worker's, inlined in the page as text. A blob: URL of them starts it, from
// file:// as from a server, and is let go once it has started.
function startWorker(onMessage) {
  const url = makeUrl(new Blob([
    document.getElementById("core-source").textContent, ";\n",
    document.getElementById("worker-source").textContent,
  ], { type: "text/javascript" }));
  const worker = new Worker(url);
  worker.onmessage = ({ data }) => {
    if (data.kind === "ready") dropUrl(url);
    else onMessage(data);
  };
  worker.onerror = (event) => {
    event.preventDefault();
    onMessage({ kind: "failed", id: null, message: event.message || "the worker stopped", known: false });
  };
  return { worker, url };
}

// Two workers share no memory (a page from file:// cannot have memory that
// workers share), so the converting worker and its partner talk over a
// channel of their own: a part of the container in, its output out. A
// partner that stops is reported to the converting worker, which then
// converts on its own.
function startPartner(converting, onError) {
  const partner = startWorker(() => {});
  partner.worker.onerror = (event) => {
    event.preventDefault();
    onError();
  };
  const channel = new MessageChannel();
  partner.worker.postMessage({ kind: "serve", port: channel.port2 }, [channel.port2]);
  converting.worker.postMessage({ kind: "partner", port: channel.port1 }, [channel.port1]);
  return partner;
}

class Runner {
  constructor(withPartner = false) {
    this.current = null;  // { worker, url }
    this.partner = null;  // the same, for the partner
    this.withPartner = withPartner;
    this.job = null;      // { id, resolve, reject, onProgress }
    this.nextId = 1;
  }
  run(message, onProgress = () => {}) {
    if (!this.current) {
      this.current = startWorker((data) => this.heard(data));
      if (this.withPartner && (navigator.hardwareConcurrency || 1) >= 2) {
        this.partner = startPartner(this.current, () => this.losePartner());
      }
    }
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.job = { id, resolve, reject, onProgress };
      this.current.worker.postMessage({ ...message, id });
    });
  }
  heard(data) {
    const job = this.job;
    if (!job || (data.id !== null && data.id !== job.id)) return;
    if (data.kind === "progress") {
      job.onProgress(data);
      return;
    }
    this.job = null;
    if (data.kind === "done") job.resolve(data);
    else job.reject(data.known ? new ConversionError(data.message) : new Error(data.message));
  }
  // Ends the partner: the converting worker converts on its own from now on,
  // what it asked of the partner and waits for included.
  losePartner() {
    if (!this.partner) return;
    this.partner.worker.terminate();
    dropUrl(this.partner.url);
    this.partner = null;
    this.current.worker.postMessage({ kind: "partner-lost" });
  }
  // Ends the worker and whatever it was doing; the job's promise never settles.
  stop() {
    if (!this.current) return;
    for (const started of [this.current, this.partner]) {
      if (!started) continue;
      started.worker.terminate();
      dropUrl(started.url);
    }
    this.current = null;
    this.partner = null;
    this.job = null;
  }
}

export const converter = new Runner(true);
export const zipper = new Runner();

// Zips in the zip worker; the zip's entries: [{ path, blob }].
export async function zipInWorker(entries) {
  return (await zipper.run({ kind: "zip", entries })).result;
}

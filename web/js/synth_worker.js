// Renders session chunks off the main thread, one request at a time, in order.
import { bytesToBase64, renderChunk, sessionPlan } from './synth.js';

let plan = null;

self.onmessage = (event) => {
  const { job, facet, day, duration, index } = event.data;
  if (!plan || plan.facet !== facet || plan.day !== day || plan.duration !== duration) {
    plan = sessionPlan(facet, day, { duration });
  }
  const bytes = renderChunk(plan, index);
  self.postMessage({ job, index, pcm: bytesToBase64(bytes), bytes: bytes.length });
};

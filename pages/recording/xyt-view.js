// The space-time view's drawing: events as points in x, y and time, with the
// window's frame and boxes as lines, turned by a rotation and a zoom. WebGL where
// the browser has it, else a 2D canvas that projects the same points itself.
// create(canvas, labels) returns { kind, setPoints, draw, project }.
const ZXytView = (() => {
  "use strict";
  const POINT_VS = `
    attribute vec2 a_xy; attribute float a_t; attribute float a_on;
    uniform mat3 u_rot; uniform vec2 u_scale; uniform float u_zoom, u_aspect, u_center, u_half, u_depth, u_size;
    varying float v_on;
    void main() {
      float z = (a_t - u_center) / (2.0 * u_half);
      v_on = a_on;
      if (abs(z) > 0.5) { gl_Position = vec4(2.0, 2.0, 2.0, 1.0); gl_PointSize = 0.0; return; }
      vec3 r = u_rot * vec3((a_xy.x - 0.5) * u_scale.x, (0.5 - a_xy.y) * u_scale.y, z * u_depth);
      gl_Position = vec4(r.x * u_zoom / u_aspect, r.y * u_zoom, -r.z * 0.25, 1.0);
      gl_PointSize = u_size;
    }`;
  const POINT_FS = `
    precision mediump float;
    uniform vec3 u_on, u_off; uniform float u_alpha; varying float v_on;
    void main() { gl_FragColor = vec4(mix(u_off, u_on, v_on), u_alpha); }`;
  const LINE_VS = `
    attribute vec3 a_pos; attribute vec3 a_col;
    uniform mat3 u_rot; uniform float u_zoom, u_aspect; varying vec3 v_col;
    void main() {
      vec3 r = u_rot * a_pos;
      gl_Position = vec4(r.x * u_zoom / u_aspect, r.y * u_zoom, -r.z * 0.25, 1.0);
      v_col = a_col;
    }`;
  const LINE_FS = `precision mediump float; varying vec3 v_col; void main() { gl_FragColor = vec4(v_col, 1.0); }`;

  // rotation about y (yaw), then x (pitch), column-major for WebGL
  function rotation(yaw, pitch) {
    const cy = Math.cos(yaw), sy = Math.sin(yaw), cp = Math.cos(pitch), sp = Math.sin(pitch);
    return [cy, sp * sy, -cp * sy, 0, cp, sp, sy, -sp * cy, cp * cy];
  }
  function apply(m, p) {
    return [m[0] * p[0] + m[3] * p[1] + m[6] * p[2], m[1] * p[0] + m[4] * p[1] + m[7] * p[2],
      m[2] * p[0] + m[5] * p[1] + m[8] * p[2]];
  }

  function program(gl, vs, fs) {
    const make = (type, src) => {
      const s = gl.createShader(type);
      gl.shaderSource(s, src);
      gl.compileShader(s);
      if (!gl.getShaderParameter(s, gl.COMPILE_STATUS)) throw new Error(gl.getShaderInfoLog(s) || "shader");
      return s;
    };
    const p = gl.createProgram();
    gl.attachShader(p, make(gl.VERTEX_SHADER, vs));
    gl.attachShader(p, make(gl.FRAGMENT_SHADER, fs));
    gl.linkProgram(p);
    if (!gl.getProgramParameter(p, gl.LINK_STATUS)) throw new Error(gl.getProgramInfoLog(p) || "program");
    return p;
  }

  function create(canvas) {
    let gl = null;
    try {
      gl = canvas.getContext("webgl", { preserveDrawingBuffer: true, antialias: true, premultipliedAlpha: false });
    } catch (e) { gl = null; }
    let pts = null;  // { xy: Float32Array (x/W, y/H pairs), t: Float32Array, on: Float32Array, n }
    let glState = null;
    if (gl) {
      try {
        const points = program(gl, POINT_VS, POINT_FS), lines = program(gl, LINE_VS, LINE_FS);
        glState = { points, lines, xy: gl.createBuffer(), t: gl.createBuffer(), on: gl.createBuffer(), pos: gl.createBuffer(), col: gl.createBuffer() };
      } catch (e) { gl = null; glState = null; }
    }
    if (!gl) canvas.dataset.fallback = "2d";

    function setPoints(p) {
      pts = p;
      if (!gl) return;
      for (const [buf, data] of [[glState.xy, p.xy], [glState.t, p.t], [glState.on, p.on]]) {
        gl.bindBuffer(gl.ARRAY_BUFFER, buf);
        gl.bufferData(gl.ARRAY_BUFFER, data, gl.STATIC_DRAW);
      }
    }
    // view: { yaw, pitch, zoom, center, half, scale: [sx, sy], depth, on, off (rgb 0..1), bg, size, lines: [[p, q, rgb], ...] }
    function project(view, w, h, p) {
      const r = apply(rotation(view.yaw, view.pitch), p);
      const aspect = w / h;
      return [(r[0] * view.zoom / aspect * 0.5 + 0.5) * w, (0.5 - r[1] * view.zoom * 0.5) * h];
    }
    function attrib(prog, name, buf, size) {
      const loc = gl.getAttribLocation(prog, name);
      gl.bindBuffer(gl.ARRAY_BUFFER, buf);
      gl.enableVertexAttribArray(loc);
      gl.vertexAttribPointer(loc, size, gl.FLOAT, false, 0, 0);
      return loc;
    }
    function drawGl(view) {
      const w = canvas.width, h = canvas.height;
      gl.viewport(0, 0, w, h);
      gl.clearColor(view.bg[0], view.bg[1], view.bg[2], 1);
      gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
      gl.enable(gl.BLEND);
      gl.blendFunc(gl.SRC_ALPHA, gl.ONE_MINUS_SRC_ALPHA);
      const rot = rotation(view.yaw, view.pitch), aspect = w / h;
      const { points, lines } = glState;
      if (pts && pts.n) {
        gl.useProgram(points);
        const u = (n) => gl.getUniformLocation(points, n);
        gl.uniformMatrix3fv(u("u_rot"), false, rot);
        gl.uniform2f(u("u_scale"), view.scale[0], view.scale[1]);
        gl.uniform1f(u("u_zoom"), view.zoom); gl.uniform1f(u("u_aspect"), aspect);
        gl.uniform1f(u("u_center"), view.center); gl.uniform1f(u("u_half"), view.half);
        gl.uniform1f(u("u_depth"), view.depth); gl.uniform1f(u("u_size"), view.size);
        gl.uniform3fv(u("u_on"), view.on); gl.uniform3fv(u("u_off"), view.off); gl.uniform1f(u("u_alpha"), view.alpha);
        const locs = [attrib(points, "a_xy", glState.xy, 2), attrib(points, "a_t", glState.t, 1), attrib(points, "a_on", glState.on, 1)];
        gl.drawArrays(gl.POINTS, 0, pts.n);
        locs.forEach((l) => gl.disableVertexAttribArray(l));
      }
      if (view.lines.length) {
        const pos = new Float32Array(view.lines.length * 6), col = new Float32Array(view.lines.length * 6);
        view.lines.forEach(([a, b, c], i) => { pos.set(a, 6 * i); pos.set(b, 6 * i + 3); col.set(c, 6 * i); col.set(c, 6 * i + 3); });
        gl.useProgram(lines);
        gl.bindBuffer(gl.ARRAY_BUFFER, glState.pos); gl.bufferData(gl.ARRAY_BUFFER, pos, gl.DYNAMIC_DRAW);
        gl.bindBuffer(gl.ARRAY_BUFFER, glState.col); gl.bufferData(gl.ARRAY_BUFFER, col, gl.DYNAMIC_DRAW);
        const u = (n) => gl.getUniformLocation(lines, n);
        gl.uniformMatrix3fv(u("u_rot"), false, rot);
        gl.uniform1f(u("u_zoom"), view.zoom); gl.uniform1f(u("u_aspect"), aspect);
        const locs = [attrib(lines, "a_pos", glState.pos, 3), attrib(lines, "a_col", glState.col, 3)];
        gl.drawArrays(gl.LINES, 0, view.lines.length * 2);
        locs.forEach((l) => gl.disableVertexAttribArray(l));
      }
    }
    function draw2d(view) {
      const ctx = canvas.getContext("2d");
      const w = canvas.width, h = canvas.height;
      const img = ctx.createImageData(w, h);
      const d = img.data;
      const bg = view.bg.map((v) => Math.round(v * 255)), on = view.on.map((v) => Math.round(v * 255)), off = view.off.map((v) => Math.round(v * 255));
      for (let i = 0; i < d.length; i += 4) { d[i] = bg[0]; d[i + 1] = bg[1]; d[i + 2] = bg[2]; d[i + 3] = 255; }
      const m = rotation(view.yaw, view.pitch), aspect = w / h, size = Math.max(1, Math.round(view.size));
      if (pts) {
        for (let i = 0; i < pts.n; i++) {
          const z = (pts.t[i] - view.center) / (2 * view.half);
          if (z < -0.5 || z > 0.5) continue;
          const px = (pts.xy[2 * i] - 0.5) * view.scale[0], py = (0.5 - pts.xy[2 * i + 1]) * view.scale[1], pz = z * view.depth;
          const rx = m[0] * px + m[3] * py + m[6] * pz, ry = m[1] * px + m[4] * py + m[7] * pz;
          const sx = Math.floor((rx * view.zoom / aspect * 0.5 + 0.5) * w), sy = Math.floor((0.5 - ry * view.zoom * 0.5) * h);
          const c = pts.on[i] > 0 ? on : off;
          for (let oy = 0; oy < size; oy++) for (let ox = 0; ox < size; ox++) {
            const X = sx + ox, Y = sy + oy;
            if (X < 0 || Y < 0 || X >= w || Y >= h) continue;
            const o = 4 * (Y * w + X);
            d[o] = c[0]; d[o + 1] = c[1]; d[o + 2] = c[2];
          }
        }
      }
      ctx.putImageData(img, 0, 0);
      ctx.lineWidth = 1;
      for (const [a, b, c] of view.lines) {
        const p = project(view, w, h, a), q = project(view, w, h, b);
        ctx.strokeStyle = "rgb(" + c.map((v) => Math.round(v * 255)).join(",") + ")";
        ctx.beginPath(); ctx.moveTo(p[0], p[1]); ctx.lineTo(q[0], q[1]); ctx.stroke();
      }
    }
    function draw(view) { if (gl) drawGl(view); else draw2d(view); }
    return { kind: gl ? "webgl" : "2d", setPoints, draw, project };
  }
  return { create };
})();

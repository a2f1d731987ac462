// A small three.js view that fits its card, renders on demand and never runs when hidden.
import * as THREE from 'three';

export class View3D {
  constructor(host, { cameraAt, lookAt = [0, 0, 0], fov = 40 }) {
    this.host = host;
    this.renderer = new THREE.WebGLRenderer({ antialias: true, preserveDrawingBuffer: true });
    this.renderer.setPixelRatio(Math.min(window.devicePixelRatio, 2));
    this.renderer.setClearColor(0xf7f9fc);
    host.appendChild(this.renderer.domElement);
    this.scene = new THREE.Scene();
    this.camera = new THREE.PerspectiveCamera(fov, 1, 0.001, 100);
    this.camera.position.set(...cameraAt);
    this.camera.up.set(0, 0, 1);
    this.camera.lookAt(new THREE.Vector3(...lookAt));
    this.scene.add(new THREE.AmbientLight(0xffffff, 0.7));
    const sun = new THREE.DirectionalLight(0xffffff, 1.6);
    sun.position.set(...cameraAt.map((v) => v * 2));
    this.scene.add(sun);
    new ResizeObserver(() => this.resize()).observe(host);
    this.resize();
  }

  resize() {
    const width = this.host.clientWidth || 300;
    const height = this.host.clientHeight || 240;
    this.renderer.setSize(width, height, false);
    this.camera.aspect = width / height;
    this.camera.updateProjectionMatrix();
    this.render();
  }

  render() {
    this.renderer.render(this.scene, this.camera);
  }

  // Dragging `handle` (an object of the scene) moves a hand's target: in the plane through it
  // that faces the camera, the wheel moving it nearer or farther. `move(target)` is called with
  // the target at most one request at a time; `release()` when the button is let go.
  dragHand(handle, move, release) {
    const canvas = this.renderer.domElement;
    const ray = new THREE.Raycaster();
    const plane = new THREE.Plane();
    const facing = new THREE.Vector3();
    const target = new THREE.Vector3();
    let dragging = false;
    let sending = null;  // the request in flight
    let wanted = null;   // the newest target, sent when that request is done
    const send = () => {
      if (sending || !wanted) return;
      const next = wanted.toArray();
      wanted = null;
      sending = Promise.resolve(move(next)).catch(() => {}).finally(() => { sending = null; send(); });
    };
    const pointAt = (event) => {
      const box = canvas.getBoundingClientRect();
      ray.setFromCamera(new THREE.Vector2(((event.clientX - box.left) / box.width) * 2 - 1,
        -((event.clientY - box.top) / box.height) * 2 + 1), this.camera);
      return ray.ray.intersectPlane(plane, new THREE.Vector3());
    };
    canvas.addEventListener('pointerdown', (event) => {
      this.camera.getWorldDirection(facing);
      plane.setFromNormalAndCoplanarPoint(facing, handle.position);
      const at = pointAt(event);
      if (!at) return;
      dragging = true;
      canvas.setPointerCapture(event.pointerId);
      target.copy(at);
      wanted = target.clone();
      send();
    });
    canvas.addEventListener('pointermove', (event) => {
      if (!dragging) return;
      const at = pointAt(event);
      if (!at) return;
      target.copy(at);
      wanted = target.clone();
      send();
    });
    canvas.addEventListener('wheel', (event) => {
      if (!dragging) return;
      event.preventDefault();
      // A notch (100) moves the target a centimetre away from the camera or towards it.
      target.addScaledVector(facing, -event.deltaY * 1e-4);
      plane.setFromNormalAndCoplanarPoint(facing, target);
      wanted = target.clone();
      send();
    }, { passive: false });
    const letGo = () => {
      if (!dragging) return;
      dragging = false;
      wanted = null;
      Promise.resolve(sending).then(() => release()).catch(() => {});
    };
    canvas.addEventListener('pointerup', letGo);
    canvas.addEventListener('pointercancel', letGo);
    canvas.style.cursor = 'grab';
    canvas.title = 'Drag to move the arm with the emulator\'s hand; the wheel, while dragging, moves it nearer or farther';
  }
}

export { THREE };
